// Delegate errors on the console: each delegate call that ends in an
// exception is reported as one line on the process's standard error (file
// descriptor 2, whatever the application did to its own stderr objects):
//
//   lumora: delegate OnEnterRoom raised ValueError: bad state
//
// The text after "raised" is the first line of the exception's what(), as
// its thrower wrote it (a binding that carries a Python error through C++
// puts the Python type and message there).
//
// These lines are on by default, so that an error in an application's
// delegate is never silent. HaloLiveSDK::DisableConsoleLog turns them off
// and HaloLiveSDK::EnableConsoleLog on again (besides their switching of the
// general log on the console, which is off by default).
//
// A storm of errors cannot flood the console: at most
// kDelegateErrorLinesPerWindow lines per window of kDelegateErrorWindow for
// the whole process; the rest are counted and reported as one line
//
//   lumora: 1234 more delegate errors suppressed
//
// once the window has passed.
#pragma once

#include <chrono>
#include <string>

namespace lumora_sdk {

constexpr int kDelegateErrorLinesPerWindow = 5;
constexpr std::chrono::milliseconds kDelegateErrorWindow{1000};

void set_delegate_errors_on_console(bool enabled);
bool delegate_errors_on_console();

// Reports one failed delegate call; `description` is the first line of the
// exception's message (exception_text.h). Thread-safe; never throws.
void print_delegate_error(const char* operation, const std::string& description);

}  // namespace lumora_sdk
