// The SDK's log (sdk_log.h): lines go to DIR/lumora.log and, when enabled,
// to stderr. DIR is set with HaloLiveSDK::SetLogPath; by default it is the
// user's state folder, where the platform keeps logs ($XDG_STATE_HOME, else
// ~/.local/state, then "lumora/logs"), so that no program leaves a stray
// folder in whatever directory it was started from. Without a home it is the
// current directory's "lumora-logs". The folder is made when the first line
// is written.

#include "settings/sdk_log.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "settings/log_settings.h"

namespace lumora_sdk {

namespace {

constexpr const char* kLogFileName = "lumora.log";
constexpr const char* kStateLogDir = "lumora/logs";     // under the user's state folder
constexpr const char* kFallbackLogDir = "lumora-logs";  // in the current directory, without a home

std::atomic<int> g_level{kLogInfo};
std::atomic<bool> g_console{false};
std::atomic<bool> g_file_disabled{false};
std::atomic<bool> g_compress_disabled{false};

struct LogFile {
  std::mutex mutex;
  std::string dir;          // absolute; empty until first needed (then the default)
  FILE* file = nullptr;     // open on DIR/lumora.log once a line was written
  long size = 0;            // bytes in the open file
  bool open_failed = false; // do not retry opening the same directory per line
};

LogFile& log_file() {
  // Never destroyed: SDK threads may log while the process exits.
  static LogFile* f = new LogFile();
  return *f;
}

std::string current_directory() {
  std::string buf(256, '\0');
  while (getcwd(&buf[0], buf.size()) == nullptr) {
    if (errno != ERANGE) {
      return ".";
    }
    buf.resize(buf.size() * 2);
  }
  buf.resize(std::strlen(buf.c_str()));
  return buf;
}

// An absolute form of path, without trailing slashes.
std::string absolute(const std::string& path) {
  std::string p = path[0] == '/' ? path : current_directory() + "/" + path;
  while (p.size() > 1 && p.back() == '/') {
    p.pop_back();
  }
  return p;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p.
bool make_directories(const std::string& path) {
  if (is_directory(path)) {
    return true;
  }
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      const std::string part = path.substr(0, pos);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
        return false;
      }
    }
  }
  return is_directory(path);
}

// The default folder: read once, when the first line needs it. Relative
// XDG values are ignored, as the XDG base directory rules ask.
std::string default_directory() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') {
    return absolute(std::string(state) + "/" + kStateLogDir);
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    return absolute(std::string(home) + "/.local/state/" + kStateLogDir);
  }
  return absolute(kFallbackLogDir);
}

// Called with the lock held.
const std::string& directory_locked(LogFile& f) {
  if (f.dir.empty()) {
    f.dir = default_directory();
  }
  return f.dir;
}

std::string file_path_locked(LogFile& f) { return directory_locked(f) + "/" + kLogFileName; }

void close_locked(LogFile& f) {
  if (f.file != nullptr) {
    std::fclose(f.file);
    f.file = nullptr;
  }
  f.size = 0;
}

bool open_locked(LogFile& f) {
  if (f.file != nullptr) {
    return true;
  }
  if (f.open_failed) {
    return false;
  }
  const std::string dir = directory_locked(f);
  if (!make_directories(dir)) {
    f.open_failed = true;
    return false;
  }
  f.file = std::fopen((dir + "/" + kLogFileName).c_str(), "a");
  if (f.file == nullptr) {
    f.open_failed = true;
    return false;
  }
  std::fseek(f.file, 0, SEEK_END);
  f.size = std::ftell(f.file);
  if (f.size < 0) f.size = 0;
  return true;
}

// Moves a full log aside to lumora.log.1 (replacing an older one) and starts
// a new file.
void rotate_locked(LogFile& f) {
  const std::string path = file_path_locked(f);
  close_locked(f);
  std::rename(path.c_str(), (path + ".1").c_str());
  f.file = std::fopen(path.c_str(), "w");
  if (f.file == nullptr) {
    f.open_failed = true;
  }
}

void write_file_locked(LogFile& f, const std::string& line) {
  if (!open_locked(f)) {
    return;
  }
  if (f.size > 0 && f.size + static_cast<long>(line.size()) > kLogRotateBytes) {
    rotate_locked(f);
    if (f.file == nullptr) {
      return;
    }
  }
  if (std::fwrite(line.data(), 1, line.size(), f.file) == line.size()) {
    f.size += static_cast<long>(line.size());
  }
  std::fflush(f.file);
}

const char kLevelLetters[] = "VDIWE";

std::string format_line(int level, const char* format, va_list args) {
  char stamp[64];
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm_local;
  localtime_r(&ts.tv_sec, &tm_local);
  const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm_local);
  std::snprintf(stamp + n, sizeof stamp - n, ".%03ld %c %ld ", ts.tv_nsec / 1000000L, kLevelLetters[level],
                static_cast<long>(syscall(SYS_gettid)));

  std::string line = stamp;
  const size_t header = line.size();
  char small[512];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) {
    line += "(bad log format)";
  } else if (static_cast<size_t>(needed) < sizeof small) {
    line.append(small, static_cast<size_t>(needed));
  } else {
    const size_t start = line.size();
    line.resize(start + static_cast<size_t>(needed) + 1);
    std::vsnprintf(&line[start], static_cast<size_t>(needed) + 1, format, args);
    line.resize(start + static_cast<size_t>(needed));
  }
  // One entry is one line: a newline ending the format is dropped (the line
  // gets its own), every other control character in the message (texts
  // from callers included) is written as \xHH.
  const size_t format_length = std::strlen(format);
  if (format_length != 0 && format[format_length - 1] == '\n' && line.size() > header && line.back() == '\n') {
    line.pop_back();
  }
  std::string clean = line.substr(0, header);
  for (size_t i = header; i < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if (c < 0x20 && c != '\t') {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      clean += esc;
    } else {
      clean += static_cast<char>(c);
    }
  }
  clean += '\n';
  return clean;
}

}  // namespace

namespace {

void write_line(int level, bool console_allowed, const char* format, va_list args) {
  // Lines at kLogNone or above are never written; nor is anything below the
  // level in force.
  if (level < kLogVerbose || level >= kLogNone || level < g_level.load(std::memory_order_relaxed)) {
    return;
  }
  const bool to_console = console_allowed && g_console.load(std::memory_order_relaxed);
  const bool to_file = !g_file_disabled.load(std::memory_order_relaxed);
  if (!to_console && !to_file) {
    return;
  }
  const std::string line = format_line(level, format, args);

  LogFile& f = log_file();
  std::lock_guard<std::mutex> lock(f.mutex);
  // Checked again under the lock: DisableLogFile(true) closes the file under
  // this lock, and a line that raced with it must not reopen the file.
  if (to_file && !g_file_disabled.load(std::memory_order_relaxed)) {
    write_file_locked(f, line);
  }
  if (to_console) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
}

}  // namespace

void log_line(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_line(level, true, format, args);
  va_end(args);
}

void log_file_line(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_line(level, false, format, args);
  va_end(args);
}

bool set_log_directory(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    return false;
  }
  const std::string dir = absolute(path);
  if (!make_directories(dir) || access(dir.c_str(), W_OK | X_OK) != 0) {
    return false;
  }
  LogFile& f = log_file();
  std::lock_guard<std::mutex> lock(f.mutex);
  if (dir != f.dir) {
    close_locked(f);
    f.dir = dir;
  }
  f.open_failed = false;
  return true;
}

int clamp_log_level(int level) { return level < kLogVerbose ? kLogVerbose : level > kLogNone ? kLogNone : level; }

int set_log_level(int level) {
  const int clamped = clamp_log_level(level);
  g_level.store(clamped, std::memory_order_relaxed);
  return clamped;
}

int log_level() { return g_level.load(std::memory_order_relaxed); }

void set_console_log(bool enabled) { g_console.store(enabled, std::memory_order_relaxed); }
bool console_log_enabled() { return g_console.load(std::memory_order_relaxed); }

void set_log_file_disabled(bool disabled) {
  g_file_disabled.store(disabled, std::memory_order_relaxed);
  if (disabled) {
    // Let go of the file; a later enable reopens it (appending).
    LogFile& f = log_file();
    std::lock_guard<std::mutex> lock(f.mutex);
    close_locked(f);
  }
}
bool log_file_disabled() { return g_file_disabled.load(std::memory_order_relaxed); }

void set_log_compress_disabled(bool disabled) { g_compress_disabled.store(disabled, std::memory_order_relaxed); }
bool log_compress_disabled() { return g_compress_disabled.load(std::memory_order_relaxed); }

std::string log_file_path() {
  LogFile& f = log_file();
  std::lock_guard<std::mutex> lock(f.mutex);
  return file_path_locked(f);
}

}  // namespace lumora_sdk
