// One-line descriptions of exceptions (see exception_text.h).

#include "loopback/exception_text.h"

#include <cstring>

namespace lumora_sdk {

std::string describe_exception(const char* what) {
  if (what == nullptr || what[0] == '\0') {
    return "an exception without a message";
  }
  return std::string(what, std::strcspn(what, "\r\n"));
}

std::string describe_unknown_exception() { return "an exception of a type not derived from std::exception"; }

}  // namespace lumora_sdk
