// The extension module: the class SDK and its methods.
#include "../sdk/sdk.h"
#include "bridge.h"

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace {

// Every method runs without the interpreter lock: the members block on the broker
// and on the client's own locks (see the threading rules in sdk/sdk.h).
using Unlocked = py::call_guard<py::gil_scoped_release>;

}  // namespace

PYBIND11_MODULE(tarnu_sdk, m) {
    // Deallocation releases the interpreter lock before the teardown, which waits
    // for the client's threads.
    py::class_<SDK>(m, "SDK", py::release_gil_before_calling_cpp_dtor())
        .def(py::init<>())
        .def("init", &SDK::init, py::arg("clientId"), py::arg("brokerHost"),
             py::arg("protocol"), py::arg("username"), py::arg("password"),
             py::arg("cleanSession") = false, py::arg("resumeSubs") = true,
             py::arg("connectRetry") = true, py::arg("autoReconnect") = true,
             py::arg("connectRetryInterval") = 5, py::arg("maxReconnectInterval") = 1,
             py::arg("keepAlive") = 30, py::arg("pingTimeout") = 10,
             py::arg("writeTimeout") = 10, py::arg("orderMatters") = false,
             py::arg("connectTimeout") = 30, py::arg("edition") = "Community", Unlocked())
        .def("connect", &SDK::connect, Unlocked())
        .def("disconnect", &SDK::disconnect, Unlocked())
        .def("publish", &SDK::publish, py::arg("topic"), py::arg("payload"),
             py::arg("qos") = 0, py::arg("retained") = false, Unlocked())
        .def("subscribe", &SDK::subscribe, py::arg("topic"), py::arg("qos") = 0, Unlocked())
        .def("unsubscribe", &SDK::unsubscribe, py::arg("topic"), Unlocked())
        .def("on_message", &SDK::on_message, Unlocked())
        .def("on_connection", &SDK::on_connection, Unlocked())
        .def("stop", &SDK::stop, Unlocked())
        .def("is_connected", &SDK::is_connected, Unlocked());

    // Before the interpreter finalises, stop the client's threads from entering it.
    py::module_::import("atexit").attr("register")(
        py::cpp_function([] { tarnu::closeInterpreterGate(); }));
}
