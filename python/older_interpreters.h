// Force-included before every source of the extension module.
//
// The module checks the interpreter's version before it does anything else and
// refuses, with a clear ImportError, to load into anything but 3.13. For that check
// to be reached at all, the loader must be able to map the module into an older
// interpreter, so the few functions that only 3.13 provides are referenced weakly:
// an older interpreter leaves them unresolved, and the check stops the import before
// any of them could be called.
#pragma once

#include <Python.h>

extern "C" {
__attribute__((weak)) PyAPI_FUNC(void) PyErr_FormatUnraisable(const char *, ...);
__attribute__((weak)) PyAPI_FUNC(void) PyObject_ClearManagedDict(PyObject *);
__attribute__((weak)) PyAPI_FUNC(int) PyObject_VisitManagedDict(PyObject *, visitproc, void *);
__attribute__((weak)) PyAPI_FUNC(PyThreadState *) PyThreadState_GetUnchecked(void);
__attribute__((weak)) PyAPI_FUNC(int) PyWeakref_GetRef(PyObject *, PyObject **);
__attribute__((weak)) PyAPI_FUNC(PyObject *) PyErr_GetRaisedException(void);
__attribute__((weak)) PyAPI_FUNC(void) PyErr_SetRaisedException(PyObject *);
}
