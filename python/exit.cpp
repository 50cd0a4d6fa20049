// Interpreter exit: every client still alive is stopped while handlers can still run.
//
// A client is deallocated at exit only if nothing keeps it alive; one held in a
// reference cycle is never deallocated, and the broker would just see its link drop.
// So the module remembers each initialised client (weakly) and, from its exit hook,
// before the interpreter starts to finalise, stops those still alive: each with its
// DISCONNECT and its (False, 0) call, queued messages dropped. The stops run on a
// thread of their own, waited for until a deadline the exit hook sets: a handler that
// blocks does not hold the exit up for longer.
#include "exit.h"

#include "../sdk/sdk.h"

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <cxxabi.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace py = pybind11;

namespace tarnu {
namespace {

// Weak references to the initialised clients, touched with the interpreter lock held.
// Never destroyed: they may not be released once the interpreter has finalised.
std::vector<PyObject *> &tracked() {
    static auto *refs = std::make_unique<std::vector<PyObject *>>().release();
    return *refs;
}

PyObject *referent(PyObject *ref) {
    PyObject *object = nullptr;
    return PyWeakref_GetRef(ref, &object) == 1 ? object : nullptr;  // new reference or null
}

struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
};

}  // namespace

void trackClient(SDK &client) {
    py::object self = py::cast(&client, py::return_value_policy::reference);
    std::vector<PyObject *> &refs = tracked();
    // Forget the dead ones, and do not track the same client twice.
    std::size_t kept = 0;
    bool known = false;
    for (PyObject *ref : refs) {
        PyObject *object = referent(ref);
        if (object == nullptr) {
            Py_DECREF(ref);
            continue;
        }
        known = known || object == self.ptr();
        Py_DECREF(object);
        refs[kept++] = ref;
    }
    refs.resize(kept);
    if (!known) {
        PyObject *ref = PyWeakref_NewRef(self.ptr(), nullptr);
        if (ref == nullptr) {
            throw py::error_already_set();
        }
        refs.push_back(ref);
    }
}

void stopClientsAtExit(std::chrono::steady_clock::time_point deadline) {
    std::vector<py::object> alive;
    std::vector<SDK *> clients;
    for (PyObject *ref : tracked()) {
        if (PyObject *object = referent(ref)) {
            alive.push_back(py::reinterpret_steal<py::object>(object));
            SDK &client = alive.back().cast<SDK &>();
            if (!client.inherited()) {  // a forked child leaves its parent's clients alone
                clients.push_back(&client);
            }
        }
    }
    if (clients.empty()) {
        return;
    }
    auto done = std::make_shared<Done>();
    bool finished = false;
    {
        py::gil_scoped_release release;  // the handlers need it
        std::thread stopper([clients, done] {
            for (SDK *client : clients) {
                try {
                    client->stopAtExit();
                } catch (abi::__forced_unwind &) {
                    // A handler past the deadline asked for the interpreter lock after
                    // finalisation began: the interpreter ends this thread.
                    throw;
                } catch (...) {
                    // A client inherited across fork() refuses; nothing else throws.
                }
            }
            std::lock_guard<std::mutex> lock(done->mutex);
            done->done = true;
            done->cv.notify_all();
        });
        std::unique_lock<std::mutex> lock(done->mutex);
        finished = done->cv.wait_until(lock, deadline, [&] { return done->done; });
        lock.unlock();
        if (finished) {
            stopper.join();
        } else {
            stopper.detach();  // it may still be using the clients: they are kept
        }
    }
    if (!finished) {
        for (py::object &object : alive) {
            object.release();
        }
    }
}

}  // namespace tarnu
