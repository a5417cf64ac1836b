// One-line descriptions of exceptions (see exception_text.h).

#include "loopback/exception_text.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <typeinfo>

namespace lumora_sdk {

namespace {

std::string demangled(const std::type_info& type) {
  int status = 0;
  char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  if (status != 0 || name == nullptr) {
    return type.name();
  }
  std::string result = name;
  std::free(name);
  return result;
}

// The Python name of the standard exceptions pybind11 translates, by exact
// type; null for any other type.
const char* python_name_of_standard(const std::type_info& type) {
  struct Known {
    const std::type_info& type;
    const char* python_name;
  };
  static const Known known[] = {
      {typeid(std::runtime_error), "RuntimeError"}, {typeid(std::exception), "RuntimeError"},
      {typeid(std::bad_alloc), "MemoryError"},      {typeid(std::invalid_argument), "ValueError"},
      {typeid(std::domain_error), "ValueError"},    {typeid(std::length_error), "ValueError"},
      {typeid(std::range_error), "ValueError"},     {typeid(std::out_of_range), "IndexError"},
      {typeid(std::overflow_error), "OverflowError"},
  };
  for (const Known& k : known) {
    if (k.type == type) {
      return k.python_name;
    }
  }
  return nullptr;
}

std::string first_line(const char* text) {
  if (text == nullptr) {
    return std::string();
  }
  return std::string(text, std::strcspn(text, "\r\n"));
}

}  // namespace

std::string describe_exception(const std::exception& error, const char* what) {
  const std::type_info& type = typeid(error);
  const std::string message = first_line(what);
  const std::string cxx_name = demangled(type);
  if (cxx_name == "pybind11::error_already_set") {
    return message;
  }
  const char* python_name = python_name_of_standard(type);
  const std::string name = python_name != nullptr ? python_name : cxx_name;
  return message.empty() ? name : name + ": " + message;
}

std::string describe_current_exception() {
  const std::type_info* type = abi::__cxa_current_exception_type();
  return type != nullptr ? "exception of type " + demangled(*type) : "unknown exception";
}

}  // namespace lumora_sdk
