// The SDK's own log: a file in the directory given to
// HaloLiveSDK::SetLogPath (lumora.log; by default in the user's state folder,
// $XDG_STATE_HOME or ~/.local/state, then lumora/logs), and the console
// (stderr) when enabled. Lines below the level set with
// HaloLiveSDK::SetLogLevel are dropped.
#pragma once

namespace lumora_sdk {

enum LogLevel { kLogVerbose = 0, kLogDebug = 1, kLogInfo = 2, kLogWarning = 3, kLogError = 4, kLogNone = 5 };

// printf-style; thread-safe; adds a time stamp, the level and a newline.
void log_line(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same, written to the log file only, never to the console: for lines
// the console reports in its own form (error_console.h).
void log_file_line(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace lumora_sdk
