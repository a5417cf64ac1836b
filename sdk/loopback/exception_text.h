// One-line descriptions of the exceptions a delegate call can end in, for
// reports.
#pragma once

#include <exception>
#include <string>

namespace lumora_sdk {

// The first line of `what` (the exception's own message, read once by the
// caller): whoever threw it chose the text, and the SDK adds nothing of its
// own to it. An empty message reads as a fixed text, so a report never
// ends in nothing.
std::string describe_exception(const char* what);
// For an exception not derived from std::exception, which carries no
// message to show.
std::string describe_unknown_exception();

}  // namespace lumora_sdk
