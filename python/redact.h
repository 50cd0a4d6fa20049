// The password never appears in the text of a TypeError raised by SDK.init.
#pragma once

#include <pybind11/pybind11.h>

namespace tarnu {

// After the class is made: makes init's argument errors show the password argument,
// whatever was passed, as '***' (see redact.cpp).
void redactPasswordInInitErrors(pybind11::handle sdkClass);

}  // namespace tarnu
