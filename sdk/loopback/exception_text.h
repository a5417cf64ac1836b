// One-line descriptions of the exceptions a delegate call can end in, for
// reports: "Type: first line of the message".
#pragma once

#include <exception>
#include <string>

namespace lumora_sdk {

// The type is named as an application written in Python reads it: pybind11
// carries a Python exception through C++ as error_already_set, whose
// message already begins "PythonType: message" (its first line is used as
// it is, without the traceback that follows); the standard exceptions are
// named as pybind11 turns them into Python exceptions (std::runtime_error,
// thrown for a missing required callback, is RuntimeError); any other type
// by its C++ name.
std::string describe_exception(const std::exception& error, const char* what);
// For an exception not derived from std::exception; call inside catch (...).
std::string describe_current_exception();

}  // namespace lumora_sdk
