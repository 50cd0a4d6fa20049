// The extension module: the class SDK and its methods.
#include "../sdk/sdk.h"
#include "bridge.h"
#include "exit.h"
#include "handlers.h"
#include "payload.h"
#include "redact.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;

#include <atomic>
#include <chrono>
#include <cxxabi.h>
#include <memory>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace {

// Every method runs without the interpreter lock: the members block on the broker
// and on the client's own locks (see the threading rules in sdk/sdk.h).
//
// The lock is taken back in plain code rather than in a guard's destructor: when
// the interpreter exits while a daemon thread is inside a method, the interpreter
// ends that thread as it asks for the lock, by unwinding its stack, and a
// destructor cannot be unwound through.
//
// That unwinding (abi::__forced_unwind) can also start inside the member, when a
// handler it calls asks for the lock once the interpreter is finalising: it is let
// through untouched, for asking for the lock again here would end the thread a second
// time in the middle of the first, and the process with it.
template <class R, class Self, class Call>
R withoutInterpreter(Self &self, Call &&call) {
    PyThreadState *state = PyEval_SaveThread();
    if constexpr (std::is_void_v<R>) {
        try {
            call(self);
        } catch (abi::__forced_unwind &) {
            throw;
        } catch (...) {
            PyEval_RestoreThread(state);
            throw;
        }
        PyEval_RestoreThread(state);
    } else {
        R result{};
        try {
            result = call(self);
        } catch (abi::__forced_unwind &) {
            throw;
        } catch (...) {
            PyEval_RestoreThread(state);
            throw;
        }
        PyEval_RestoreThread(state);
        return result;
    }
}

// An instance made by SDK.__new__ alone holds no client yet, and the binding library
// hands a method called on it memory that was never constructed (allocated there and
// then). So the module keeps its own record of the clients that __init__ made, by
// address, each with a mark that its deletion clears before the memory is freed: an
// address found unmarked, or not found, holds no client.
//
// The record is touched with the interpreter lock held; the deletion, which runs
// without it, only clears its client's mark (no lock: one held by another thread at
// a fork() would stay held in the child for ever).
struct Mark {
    std::atomic<bool> alive{true};
};

using Marks = std::unordered_map<const SDK *, std::unique_ptr<Mark>>;

// Never destroyed: a client may be deleted while the process exits.
Marks &marks() {
    static Marks *instance = std::make_unique<Marks>().release();
    return *instance;
}

// The holder of each client: deleting the client clears its mark first.
struct ClearMark {
    Mark *mark = nullptr;
    void operator()(SDK *client) const noexcept {
        if (mark != nullptr) {
            mark->alive.store(false);
        }
        std::unique_ptr<SDK> owned(client);  // the client goes here
    }
};
using ClientHolder = std::unique_ptr<SDK, ClearMark>;

ClientHolder makeClient() {
    Marks &all = marks();
    // Marks of deleted clients whose address was not reused go now and then.
    static std::size_t sweepAt = 64;
    if (all.size() >= sweepAt) {
        for (auto it = all.begin(); it != all.end();) {
            it = it->second->alive.load() ? std::next(it) : all.erase(it);
        }
        sweepAt = 2 * all.size() + 64;
    }
    auto mark = std::make_unique<Mark>();
    ClientHolder client(std::make_unique<SDK>().release(), ClearMark{mark.get()});
    all[client.get()] = std::move(mark);  // replaces the mark of a deleted client here
    return client;
}

// Refuses an instance whose __init__ never ran, instead of running the member on
// memory that was never constructed.
SDK &constructed(SDK &self) {
    const Marks &all = marks();
    const auto it = all.find(&self);
    if (it == all.end() || !it->second->alive.load()) {
        throw py::type_error("tarnu_sdk.SDK.__init__() has not been called on this object");
    }
    return self;
}

template <auto Method>
struct Unlocked;

template <class R, class... Args, R (SDK::*Method)(Args...)>
struct Unlocked<Method> {
    static R call(SDK &self, Args... args) {
        return withoutInterpreter<R>(
            constructed(self), [&](SDK &s) -> R { return (s.*Method)(std::forward<Args>(args)...); });
    }
};

template <class R, class... Args, R (SDK::*Method)(Args...) const>
struct Unlocked<Method> {
    static R call(const SDK &self, Args... args) {
        return withoutInterpreter<R>(
            constructed(const_cast<SDK &>(self)), [&](const SDK &s) -> R { return (s.*Method)(std::forward<Args>(args)...); });
    }
};

// init, then the client is remembered for the interpreter's exit (exit.h).
template <class... Args>
struct Initialising;

template <class... Args>
struct Initialising<void (SDK::*)(Args...)> {
    static void call(SDK &self, Args... args) {
        Unlocked<&SDK::init>::call(self, std::forward<Args>(args)...);
        tarnu::trackClient(self);
    }
};

}  // namespace

PYBIND11_MODULE(tarnu_sdk, m) {
    // Deallocation releases the interpreter lock before the teardown, which waits
    // for the client's threads.
    py::class_<SDK, ClientHolder> sdk(m, "SDK", py::release_gil_before_calling_cpp_dtor());
    sdk
        .def(py::init(&makeClient))
        .def("init", &Initialising<decltype(&SDK::init)>::call, py::arg("clientId"), py::arg("brokerHost"),
             py::arg("protocol"), py::arg("username"), py::arg("password"),
             py::arg("cleanSession") = false, py::arg("resumeSubs") = true,
             py::arg("connectRetry") = true, py::arg("autoReconnect") = true,
             py::arg("connectRetryInterval") = 5, py::arg("maxReconnectInterval") = 1,
             py::arg("keepAlive") = 30, py::arg("pingTimeout") = 10,
             py::arg("writeTimeout") = 10, py::arg("orderMatters") = false,
             py::arg("connectTimeout") = 30, py::arg("edition") = "Community")
        .def("connect", &Unlocked<&SDK::connect>::call)
        .def("disconnect", &Unlocked<&SDK::disconnect>::call)
        .def("publish",
             [](SDK &self, const std::string &topic, const tarnu::PayloadArgument &payload, int qos,
                bool retained) { Unlocked<&SDK::publish>::call(self, topic, payload.view, qos, retained); },
             py::arg("topic"), py::arg("payload"), py::arg("qos") = 0, py::arg("retained") = false)
        .def("subscribe", &Unlocked<&SDK::subscribe>::call, py::arg("topic"), py::arg("qos") = 0)
        .def("unsubscribe", &Unlocked<&SDK::unsubscribe>::call, py::arg("topic"))
        .def("on_message", &Unlocked<&SDK::on_message>::call)
        .def("on_connection", &Unlocked<&SDK::on_connection>::call)
        .def("stop", &Unlocked<&SDK::stop>::call)
        .def("is_connected", &Unlocked<&SDK::is_connected>::call);
    tarnu::redactPasswordInInitErrors(sdk);

    // Before the interpreter finalises: stop the clients still alive, then stop the
    // client's threads from entering it.
    // Handlers that block hold the exit up for kExitBound at most, all clients together.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        constexpr auto kExitBound = std::chrono::seconds(5);
        constexpr auto kStopsBound = std::chrono::seconds(3);
        const auto start = std::chrono::steady_clock::now();
        tarnu::stopClientsAtExit(start + kStopsBound);
        tarnu::closeInterpreterGate(start + kExitBound);
    }));
}
