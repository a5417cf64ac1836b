// Rate-limited delegate-error lines on file descriptor 2 (see error_console.h).

#include "settings/error_console.h"

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "threads/sdk_thread.h"

namespace lumora_sdk {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_on_console{true};

// The current window: when it began, the lines printed in it, and the
// errors suppressed since the last summary.
struct Window {
  std::mutex mu;
  Clock::time_point start;
  int printed = 0;
  uint64_t suppressed = 0;
  bool flusher_running = false;  // a thread waits to print the summary
};

Window& window() {
  // Never destroyed: SDK threads may report errors while the process exits.
  static Window* w = new Window();
  return *w;
}

// One write(2) per line, so lines from several threads never interleave.
void write_stderr(const std::string& line) {
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;  // nowhere to report to
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void print_summary_locked(Window& w) {
  if (w.suppressed == 0) {
    return;
  }
  write_stderr("lumora: " + std::to_string(w.suppressed) + " more delegate errors suppressed\n");
  w.suppressed = 0;
}

// Control characters (a message may hold anything) become \xHH, so the
// report stays one line.
std::string one_line(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Sleeps until the window of the suppressed errors has passed and prints
// their summary; a window started meanwhile (by a later error) is waited
// for in turn.
void flush_when_window_passes() {
  Window& w = window();
  std::unique_lock<std::mutex> lock(w.mu);
  while (w.suppressed != 0) {
    const Clock::time_point end = w.start + kDelegateErrorWindow;
    if (Clock::now() >= end) {
      print_summary_locked(w);
      break;
    }
    lock.unlock();
    std::this_thread::sleep_until(end);
    lock.lock();
  }
  w.flusher_running = false;
}

void start_flusher_locked(Window& w) {
  if (w.flusher_running) {
    return;
  }
  try {
    start_sdk_thread(flush_when_window_passes).detach();
    w.flusher_running = true;
  } catch (const std::system_error&) {
    // No thread: the next error after the window prints the summary.
  }
}

}  // namespace

void set_delegate_errors_on_console(bool enabled) { g_on_console.store(enabled, std::memory_order_relaxed); }
bool delegate_errors_on_console() { return g_on_console.load(std::memory_order_relaxed); }

void print_delegate_error(const char* operation, const std::string& description) {
  if (!delegate_errors_on_console()) {
    return;
  }
  try {
    const std::string line = "lumora: delegate " + std::string(operation) + " raised " + one_line(description) + "\n";
    Window& w = window();
    std::lock_guard<std::mutex> lock(w.mu);
    const Clock::time_point now = Clock::now();
    if (now - w.start >= kDelegateErrorWindow) {
      print_summary_locked(w);
      w.start = now;
      w.printed = 0;
    }
    if (w.printed < kDelegateErrorLinesPerWindow) {
      ++w.printed;
      write_stderr(line);
    } else {
      ++w.suppressed;
      start_flusher_locked(w);
    }
  } catch (...) {
    // Out of memory while reporting an error: the log file still has it.
  }
}

}  // namespace lumora_sdk
