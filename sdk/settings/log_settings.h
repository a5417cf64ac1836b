// Settings of the SDK's log (internal), changed by HaloLiveSDK and read by
// log_line (sdk_log.cpp).
#pragma once

#include <string>

namespace lumora_sdk {

// Makes the directory (and its parents) when missing and checks it can be
// written; on success, later lines go to DIR/lumora.log. False, with the old
// directory kept, for a null or empty path or one that cannot be used.
bool set_log_directory(const char* path);
// level clamped into kLogVerbose..kLogNone.
int clamp_log_level(int level);
// Clamped into kLogVerbose..kLogNone; returns the level now in force.
int set_log_level(int level);
int log_level();
void set_console_log(bool enabled);
bool console_log_enabled();
void set_log_file_disabled(bool disabled);
bool log_file_disabled();
void set_log_compress_disabled(bool disabled);
bool log_compress_disabled();
// Absolute path of the log file, whether or not it has been written yet.
std::string log_file_path();

// The log file is renamed to lumora.log.1 once it would grow past this.
constexpr long kLogRotateBytes = 8L * 1024 * 1024;

}  // namespace lumora_sdk
