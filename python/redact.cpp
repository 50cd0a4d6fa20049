// When the arguments of a call cannot be converted, the binding library raises a
// TypeError that names the method, lists its signature and then every argument given,
// by repr(): "Invoked with: <tarnu_sdk.SDK object ...>, 'id', 'host', 'tcp', 'user',
// 'the password'; kwargs: keepAlive='x'". Such texts end up in tracebacks and logs.
//
// The binding library makes that text in its call dispatcher, before any code of the
// module runs, so SDK.init is a function of the module's own that calls the library's
// and, when it fails that way, writes the "Invoked with" part again in the library's
// own format with the password argument shown as '***'. It is made to look as the
// library's: the same kind of object, with its name, module, owner and docstring.
#include "redact.h"

#include <string>

namespace py = pybind11;

namespace tarnu {
namespace {

// The library's init (never released).
PyObject *libraryInit = nullptr;
constexpr Py_ssize_t kPasswordPosition = 5;  // after self, clientId, brokerHost, protocol, username
constexpr const char *kInvokedWith = "\nInvoked with: ";
constexpr const char *kHidden = "'***'";

std::string reprOf(PyObject *object) {
    PyObject *text = PyObject_Repr(object);
    if (text == nullptr) {
        PyErr_Clear();
        return "<repr raised Error>";
    }
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    std::string out = utf8 != nullptr ? std::string(utf8, static_cast<std::size_t>(size))
                                      : std::string("<repr raised Error>");
    if (utf8 == nullptr) {
        PyErr_Clear();
    }
    Py_DECREF(text);
    return out;
}

std::string invokedWith(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    std::string out;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out += i > 0 ? ", " : "";
        out += i == kPasswordPosition ? kHidden : reprOf(args[i]);
    }
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        out += nargs > 0 ? "; kwargs: " : "kwargs: ";
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            PyObject *name = PyTuple_GET_ITEM(kwnames, i);
            const char *key = PyUnicode_AsUTF8(name);
            out += i > 0 ? ", " : "";
            out += key != nullptr ? key : "";
            out += '=';
            out += key != nullptr && std::string(key) == "password" ? kHidden
                                                                     : reprOf(args[nargs + i]);
        }
    }
    return out;
}

// Rewrites the message of the TypeError being raised, keeping the exception object
// (its cause, context and traceback) as it is.
void redact(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *error = PyErr_GetRaisedException();
    PyObject *message = PyObject_Str(error);
    const char *text = message != nullptr ? PyUnicode_AsUTF8(message) : nullptr;
    if (text != nullptr) {
        std::string original(text);
        const std::size_t at = original.find(kInvokedWith);
        if (at != std::string::npos) {
            const std::size_t note = original.find("\n\n", at + 1);
            std::string rewritten = original.substr(0, at + std::string(kInvokedWith).size()) +
                                    invokedWith(args, nargs, kwnames) +
                                    (note != std::string::npos ? original.substr(note) : "");
            PyObject *fresh = Py_BuildValue("(s#)", rewritten.data(),
                                            static_cast<Py_ssize_t>(rewritten.size()));
            if (fresh == nullptr || PyObject_SetAttrString(error, "args", fresh) != 0) {
                PyErr_Clear();
            }
            Py_XDECREF(fresh);
        }
    }
    PyErr_Clear();
    Py_XDECREF(message);
    PyErr_SetRaisedException(error);
}

PyObject *callInit(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    // Plain references only: a thread that the exiting interpreter ends inside init
    // unwinds through here.
    PyObject *result = PyObject_Vectorcall(libraryInit, args, static_cast<std::size_t>(nargs),
                                           kwnames);
    if (result == nullptr && PyErr_ExceptionMatches(PyExc_TypeError)) {
        redact(args, nargs, kwnames);
    }
    return result;
}

}  // namespace

void redactPasswordInInitErrors(py::handle sdkClass) {
    py::object method = py::reinterpret_borrow<py::dict>(sdkClass.attr("__dict__"))["init"];
    py::object function = PyInstanceMethod_Check(method.ptr())
                              ? py::reinterpret_borrow<py::object>(
                                    PyInstanceMethod_GET_FUNCTION(method.ptr()))
                              : method;
    // Kept with the process, as the library keeps its own functions.
    static auto *doc = new std::string(function.attr("__doc__").cast<std::string>());
    static PyMethodDef definition{
        "init", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callInit)),
        METH_FASTCALL | METH_KEYWORDS, doc->c_str()};
    py::object replacement = py::reinterpret_steal<py::object>(
        PyCMethod_New(&definition, function.attr("__self__").ptr(),
                      function.attr("__module__").ptr(), nullptr));
    if (!replacement) {
        throw py::error_already_set();
    }
    py::object bound = py::reinterpret_steal<py::object>(PyInstanceMethod_New(replacement.ptr()));
    if (!bound) {
        throw py::error_already_set();
    }
    libraryInit = function.release().ptr();
    py::setattr(sdkClass, "init", bound);
}

}  // namespace tarnu
