// The handler arguments of on_message and on_connection: a Python callable becomes a
// MessageHandler or ConnectionHandler holding it, None an empty one (which clears the
// slot). The binding converts them itself, so that bridge.cpp can find the callable
// inside a handler (to call it with plain interpreter calls and to name it when it
// raises) and so that the signatures keep the text they have always shown.
#pragma once

#include "../sdk/sdk.h"

#include <pybind11/pybind11.h>

#include <utility>

namespace tarnu {

// A strong reference to the callable. Handlers are copied and released on threads
// that may not hold the interpreter lock: a copy and a release take it. (Once the
// interpreter exits a handler is never released: see keepForever in sdk/events.cpp.)
class PythonCallable {
public:
    explicit PythonCallable(pybind11::handle callable) : object(callable.inc_ref().ptr()) {}
    PythonCallable(const PythonCallable &other) : object(other.object) {
        pybind11::gil_scoped_acquire lock;
        Py_XINCREF(object);
    }
    PythonCallable(PythonCallable &&other) noexcept : object(std::exchange(other.object, nullptr)) {}
    PythonCallable &operator=(const PythonCallable &) = delete;
    PythonCallable &operator=(PythonCallable &&) = delete;
    ~PythonCallable() {
        if (object != nullptr) {
            pybind11::gil_scoped_acquire lock;
            Py_DECREF(object);
        }
    }

    PyObject *get() const { return object; }

private:
    PyObject *object;
};

// The targets of the handlers made from Python callables. The client calls them
// through host::callMessageHandler / host::callConnectionHandler; called directly,
// they take the interpreter lock themselves.
struct MessageCallable {
    PythonCallable callable;
    void operator()(const std::string &topic, const std::string &payload) const;
};

struct ConnectionCallable {
    PythonCallable callable;
    void operator()(bool up, int code) const;
};

// As the binding library converts a callable to a std::function: None only where
// conversions are allowed, anything callable, nothing else.
template <class Handler, class Target>
bool loadHandler(pybind11::handle source, bool convert, Handler &value) {
    if (source.is_none()) {
        return convert;  // `value` stays empty
    }
    if (!PyCallable_Check(source.ptr())) {
        return false;
    }
    value = Target{PythonCallable(source)};
    return true;
}

// Never returned to Python; a handler made here gives back its callable.
template <class Target, class Handler>
pybind11::handle handlerObject(const Handler &handler) {
    const auto *target = handler.template target<Target>();
    return target != nullptr ? pybind11::handle(target->callable.get()).inc_ref()
                             : pybind11::none().release();
}

}  // namespace tarnu

namespace pybind11::detail {

// The names are spelled out, not composed from the library's own: its releases render
// a Callable's parameters differently, and the signatures keep the text the stub shows.
template <>
struct type_caster<MessageHandler> {
    PYBIND11_TYPE_CASTER(MessageHandler, const_name("collections.abc.Callable[[str, str], None]"));

    bool load(handle source, bool convert) {
        return tarnu::loadHandler<MessageHandler, tarnu::MessageCallable>(source, convert, value);
    }
    static handle cast(const MessageHandler &handler, return_value_policy, handle) {
        return tarnu::handlerObject<tarnu::MessageCallable>(handler);
    }
};

template <>
struct type_caster<ConnectionHandler> {
    PYBIND11_TYPE_CASTER(ConnectionHandler,
                         const_name("collections.abc.Callable[[bool, typing.SupportsInt | "
                                    "typing.SupportsIndex], None]"));

    bool load(handle source, bool convert) {
        return tarnu::loadHandler<ConnectionHandler, tarnu::ConnectionCallable>(source, convert,
                                                                              value);
    }
    static handle cast(const ConnectionHandler &handler, return_value_policy, handle) {
        return tarnu::handlerObject<tarnu::ConnectionCallable>(handler);
    }
};

}  // namespace pybind11::detail
