// HaloLiveSDK: the process-wide settings. Every call is journaled first,
// with its arguments as received, then takes effect and is logged.

#include "live/lumora_halo_live_sdk.h"

#include <cstring>
#include <mutex>
#include <string>

#include "journal/journal.h"
#include "settings/error_console.h"
#include "settings/log_settings.h"
#include "settings/sdk_log.h"

namespace lumora {
namespace live {

namespace {

using lumora_sdk::JournalEntry;
using lumora_sdk::log_line;

struct Socks5Proxy {
  bool set = false;
  std::string ip;
  unsigned short port = 0;
  bool has_auth = false;
  std::string username;
  std::string password;
};

struct Settings {
  std::mutex mutex;
  Socks5Proxy proxy;
  std::string environment = "production";
};

Settings& settings() {
  static Settings* s = new Settings();
  return *s;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Four decimal parts 0..255 separated by dots. A part with a leading zero
// ("010") is refused: it would read as octal to some resolvers.
bool is_dotted_ipv4(const std::string& s) {
  int parts = 0;
  size_t i = 0;
  while (true) {
    size_t start = i;
    unsigned value = 0;
    while (i < s.size() && is_digit(s[i]) && i - start < 3) {
      value = value * 10 + static_cast<unsigned>(s[i] - '0');
      ++i;
    }
    const size_t len = i - start;
    if (len == 0 || value > 255 || (len > 1 && s[start] == '0')) {
      return false;
    }
    ++parts;
    if (i == s.size()) {
      return parts == 4;
    }
    if (s[i] != '.' || parts == 4) {
      return false;
    }
    ++i;
  }
}

// A host name: dot-separated labels of letters, digits and hyphens, each 1
// to 63 long, not starting or ending with a hyphen, 253 bytes at most, and
// a last label that is not all digits (that would be a malformed address).
bool is_host_name(const std::string& s) {
  if (s.empty() || s.size() > 253) {
    return false;
  }
  size_t start = 0;
  while (true) {
    size_t end = s.find('.', start);
    if (end == std::string::npos) end = s.size();
    const size_t len = end - start;
    if (len == 0 || len > 63 || s[start] == '-' || s[end - 1] == '-') {
      return false;
    }
    bool all_digits = true;
    for (size_t i = start; i < end; ++i) {
      if (!is_alnum(s[i]) && s[i] != '-') {
        return false;
      }
      all_digits = all_digits && is_digit(s[i]);
    }
    if (end == s.size()) {
      return !all_digits;
    }
    start = end + 1;
  }
}

bool valid_credential(const char* s) {
  if (s == nullptr) return false;
  const size_t n = std::strlen(s);
  return n >= 1 && n <= 255;
}

const char* level_name(int level) {
  static const char* const names[] = {"verbose", "debug", "info", "warning", "error", "none"};
  return names[level];
}

}  // namespace

bool HaloLiveSDK::SetLogPath(const char* path) {
  JournalEntry("HaloLiveSDK::SetLogPath").text(path).commit();
  if (!lumora_sdk::set_log_directory(path)) {
    log_line(lumora_sdk::kLogWarning, "SetLogPath: cannot use log directory %s", path != nullptr ? path : "(null)");
    return false;
  }
  log_line(lumora_sdk::kLogInfo, "log file is now %s", lumora_sdk::log_file_path().c_str());
  return true;
}

void HaloLiveSDK::SetLogLevel(int level) {
  JournalEntry("HaloLiveSDK::SetLogLevel").integer(level).commit();
  // The line is written while the more verbose of the old and new levels
  // is in force, so raising the level still records the change.
  const int now = lumora_sdk::clamp_log_level(level);
  const bool raising = now > lumora_sdk::log_level();
  if (!raising) lumora_sdk::set_log_level(now);
  log_line(lumora_sdk::kLogInfo, "log level set to %d (%s), asked for %d", now, level_name(now), level);
  if (raising) lumora_sdk::set_log_level(now);
}

// Both switches govern the whole console: the general log (off by default)
// and the delegate-error lines (on by default, see error_console.h).
void HaloLiveSDK::EnableConsoleLog() {
  JournalEntry("HaloLiveSDK::EnableConsoleLog").commit();
  lumora_sdk::set_delegate_errors_on_console(true);
  lumora_sdk::set_console_log(true);
  log_line(lumora_sdk::kLogInfo, "console log enabled");
}

void HaloLiveSDK::DisableConsoleLog() {
  JournalEntry("HaloLiveSDK::DisableConsoleLog").commit();
  // Logged before the change, so the console sees its own end.
  log_line(lumora_sdk::kLogInfo, "console log disabled");
  lumora_sdk::set_console_log(false);
  lumora_sdk::set_delegate_errors_on_console(false);
}

void HaloLiveSDK::DisableLogCompress(bool disabled) {
  JournalEntry("HaloLiveSDK::DisableLogCompress").boolean(disabled).commit();
  lumora_sdk::set_log_compress_disabled(disabled);
  log_line(lumora_sdk::kLogInfo, "log compression %s", disabled ? "disabled" : "enabled");
}

void HaloLiveSDK::DisableLogFile(bool disabled) {
  JournalEntry("HaloLiveSDK::DisableLogFile").boolean(disabled).commit();
  if (disabled) {
    // Logged before the change, so the file records why it ends.
    log_line(lumora_sdk::kLogInfo, "log file disabled");
    lumora_sdk::set_log_file_disabled(true);
  } else {
    lumora_sdk::set_log_file_disabled(false);
    log_line(lumora_sdk::kLogInfo, "log file enabled");
  }
}

bool HaloLiveSDK::SetSocks5Proxy(const char* ip, unsigned short port, const char* username, const char* password) {
  JournalEntry("HaloLiveSDK::SetSocks5Proxy").text(ip).uinteger(port).text(username).text(password).commit();
  const bool no_auth = username == nullptr && password == nullptr;
  const bool auth = valid_credential(username) && valid_credential(password);
  if (ip == nullptr || port == 0 || !(no_auth || auth)) {
    log_line(lumora_sdk::kLogWarning, "SetSocks5Proxy refused: bad %s", ip == nullptr ? "ip" : port == 0 ? "port" : "credentials");
    return false;
  }
  const std::string host = ip;
  const bool all_digits_and_dots = host.find_first_not_of("0123456789.") == std::string::npos;
  if (all_digits_and_dots ? !is_dotted_ipv4(host) : !is_host_name(host)) {
    log_line(lumora_sdk::kLogWarning, "SetSocks5Proxy refused: bad ip %s", ip);
    return false;
  }
  {
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.proxy.set = true;
    s.proxy.ip = host;
    s.proxy.port = port;
    s.proxy.has_auth = auth;
    s.proxy.username = auth ? username : "";
    s.proxy.password = auth ? password : "";
  }
  log_line(lumora_sdk::kLogInfo, "socks5 proxy set to %s:%u (%s)", ip, static_cast<unsigned>(port),
           auth ? "with authentication" : "no authentication");
  return true;
}

bool HaloLiveSDK::SetEnvironment(const char* env) {
  JournalEntry("HaloLiveSDK::SetEnvironment").text(env).commit();
  if (env == nullptr || (std::strcmp(env, "production") != 0 && std::strcmp(env, "staging") != 0 &&
                         std::strcmp(env, "test") != 0)) {
    log_line(lumora_sdk::kLogWarning, "SetEnvironment refused: %s", env != nullptr ? env : "(null)");
    return false;
  }
  {
    Settings& s = settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.environment = env;
  }
  log_line(lumora_sdk::kLogInfo, "environment set to %s", env);
  return true;
}

}  // namespace live
}  // namespace lumora
