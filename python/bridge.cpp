// The callback bridge: how the client's threads enter Python, and how errors
// raised by handlers are reported. See the threading rules in sdk/sdk.h.
#include "bridge.h"

#include "handlers.h"

#include "../sdk/host.h"

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace py = pybind11;

namespace tarnu {
namespace {

// Native threads enter Python only through this gate. It closes when the
// interpreter starts to exit (before finalisation), after which no handler runs.
struct Gate {
    std::mutex mutex;
    std::condition_variable empty;
    std::atomic<bool> closed{false};  // read without the mutex on the delivery path
    int inside = 0;
};

// Never destroyed: native threads may still look at it while the process exits.
Gate &gate() {
    static Gate *instance = std::make_unique<Gate>().release();
    return *instance;
}

bool enterGate() {
    Gate &g = gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (g.closed) {
        return false;
    }
    ++g.inside;
    return true;
}

void leaveGate() {
    Gate &g = gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (--g.inside == 0) {
        g.empty.notify_all();
    }
}

// Moves the exception in flight into the interpreter's error indicator.
void restoreCurrentException() {
    try {
        throw;
    } catch (py::error_already_set &error) {
        error.restore();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown native exception in a handler");
    }
}

void reportUnraisable(const char *what, PyObject *callable) {
    if (callable != nullptr) {
        PyErr_FormatUnraisable("Exception ignored in tarnu_sdk %s %R", what, callable);
    } else {
        PyErr_FormatUnraisable("Exception ignored in tarnu_sdk %s", what);
    }
}

// Strict UTF-8, topic first: a message that does not decode never reaches the
// callable. Plain references, released by hand: if the exiting interpreter ends this
// thread inside the call, the unwinding must not touch Python objects.
void callMessage(PyObject *callable, const std::string &topic, const std::string &payload) {
    PyObject *topicText =
        PyUnicode_DecodeUTF8(topic.data(), static_cast<Py_ssize_t>(topic.size()), nullptr);
    if (topicText == nullptr) {
        throw py::error_already_set();
    }
    PyObject *payloadText =
        PyUnicode_DecodeUTF8(payload.data(), static_cast<Py_ssize_t>(payload.size()), nullptr);
    if (payloadText == nullptr) {
        Py_DECREF(topicText);
        throw py::error_already_set();
    }
    PyObject *args[] = {topicText, payloadText};
    PyObject *result = PyObject_Vectorcall(callable, args, 2, nullptr);
    Py_DECREF(topicText);
    Py_DECREF(payloadText);
    if (result == nullptr) {
        throw py::error_already_set();
    }
    Py_DECREF(result);
}

// As callMessage: no guard of the binding library's around the call, whose destructor
// would touch this thread's interpreter state while the exiting interpreter ends the
// thread (that state is freed by then).
void callConnection(PyObject *callable, bool up, int code) {
    PyObject *codeNumber = PyLong_FromLong(code);
    if (codeNumber == nullptr) {
        throw py::error_already_set();
    }
    PyObject *args[] = {up ? Py_True : Py_False, codeNumber};
    PyObject *result = PyObject_Vectorcall(callable, args, 2, nullptr);
    Py_DECREF(codeNumber);
    if (result == nullptr) {
        throw py::error_already_set();
    }
    Py_DECREF(result);
}

}  // namespace

void MessageCallable::operator()(const std::string &topic, const std::string &payload) const {
    py::gil_scoped_acquire lock;
    callMessage(callable.get(), topic, payload);
}

void ConnectionCallable::operator()(bool up, int code) const {
    py::gil_scoped_acquire lock;
    callConnection(callable.get(), up, code);
}

namespace host {

ThreadInterpreter::~ThreadInterpreter() {
    if (threadState == nullptr) {
        return;
    }
    if (isHeld) {
        release();
    }
    if (!enterGate()) {
        return;  // the interpreter is exiting; the thread state goes with it
    }
    PyEval_RestoreThread(static_cast<PyThreadState *>(threadState));
    PyGILState_Release(static_cast<PyGILState_STATE>(gilState));  // deletes the thread state
    leaveGate();
}

bool ThreadInterpreter::acquire() {
    if (!enterGate()) {
        return false;
    }
    if (threadState == nullptr) {
        gilState = PyGILState_Ensure();
        threadState = PyThreadState_Get();
    } else {
        PyEval_RestoreThread(static_cast<PyThreadState *>(threadState));
    }
    isHeld = true;
    return true;
}

void ThreadInterpreter::release() {
    PyEval_SaveThread();
    isHeld = false;
    leaveGate();
}

void ThreadInterpreter::abandon() {
    if (isHeld) {
        isHeld = false;
        leaveGate();
    }
    threadState = nullptr;
}

CallerInterpreter::CallerInterpreter() : gilState(PyGILState_Ensure()) {}

CallerInterpreter::~CallerInterpreter() {
    if (!abandoned) {
        PyGILState_Release(static_cast<PyGILState_STATE>(gilState));
    }
}

bool available() { return !gate().closed.load(); }

void reportMessageHandlerError(const MessageHandler &handler) noexcept {
    restoreCurrentException();
    const auto *target = handler.target<MessageCallable>();
    reportUnraisable("message handler", target != nullptr ? target->callable.get() : nullptr);
}

void reportConnectionHandlerError(const ConnectionHandler &handler) noexcept {
    restoreCurrentException();
    const auto *target = handler.target<ConnectionCallable>();
    reportUnraisable("connection handler", target != nullptr ? target->callable.get() : nullptr);
}

void callMessageHandler(const MessageHandler &handler, const std::string &topic,
                        const std::string &payload) {
    const auto *target = handler.target<MessageCallable>();
    if (target == nullptr) {
        handler(topic, payload);  // a native function: no Python involved
        return;
    }
    callMessage(target->callable.get(), topic, payload);
}

void callConnectionHandler(const ConnectionHandler &handler, bool up, int code) {
    const auto *target = handler.target<ConnectionCallable>();
    if (target == nullptr) {
        handler(up, code);  // a native function: no Python involved
        return;
    }
    callConnection(target->callable.get(), up, code);
}

}  // namespace host

void closeInterpreterGate(std::chrono::steady_clock::time_point deadline) {
    Gate &g = gate();
    py::gil_scoped_release release;  // threads inside may need the lock to get out
    std::unique_lock<std::mutex> lock(g.mutex);
    g.closed.store(true);
    // A handler that never returns must not hold up the exit for ever.
    g.empty.wait_until(lock, deadline, [&g] { return g.inside == 0; });
}

}  // namespace tarnu
