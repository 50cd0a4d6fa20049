// The payload argument of publish, converted as the binding library converts a
// std::string (a str as its UTF-8, bytes and bytearray byte for byte; anything else,
// a str that cannot be UTF-8 included, does not convert), but without copying what
// cannot change: the UTF-8 of a str (which the str keeps) and the bytes of a bytes
// object are used where they lie, kept alive by the call. A bytearray is copied, since
// another thread may change it while the call runs without the interpreter lock.
// (A copy of every large payload, into memory freshly mapped and then returned each
// time, was most of what a 1 MiB publish cost.)
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace tarnu {

struct PayloadArgument {
    std::string_view view;
    std::string copy;         // a bytearray's bytes
    pybind11::object source;  // keeps the str or bytes that `view` points into
};

}  // namespace tarnu

namespace pybind11::detail {

template <>
struct type_caster<tarnu::PayloadArgument> {
    PYBIND11_TYPE_CASTER(tarnu::PayloadArgument, const_name("str"));

    bool load(handle src, bool /*convert*/) {
        if (!src) {
            return false;
        }
        if (PyUnicode_Check(src.ptr())) {
            Py_ssize_t size = 0;
            const char *data = PyUnicode_AsUTF8AndSize(src.ptr(), &size);
            if (data == nullptr) {
                PyErr_Clear();  // not encodable: the argument does not convert
                return false;
            }
            value.view = std::string_view(data, static_cast<std::size_t>(size));
            value.source = reinterpret_borrow<object>(src);
            return true;
        }
        if (PyBytes_Check(src.ptr())) {
            value.view = std::string_view(PyBytes_AS_STRING(src.ptr()),
                                          static_cast<std::size_t>(PyBytes_GET_SIZE(src.ptr())));
            value.source = reinterpret_borrow<object>(src);
            return true;
        }
        if (PyByteArray_Check(src.ptr())) {
            value.copy.assign(PyByteArray_AS_STRING(src.ptr()),
                              static_cast<std::size_t>(PyByteArray_GET_SIZE(src.ptr())));
            value.view = value.copy;
            return true;
        }
        return false;
    }

    static handle cast(const tarnu::PayloadArgument &, return_value_policy, handle) {
        return none().release();  // never returned to Python
    }
};

}  // namespace pybind11::detail
