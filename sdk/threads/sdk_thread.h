// Every thread the SDK starts is made here, so that none of them ever takes
// an asynchronous process signal.
//
// A process-directed signal (SIGINT from the terminal, SIGTERM, SIGCHLD, ...)
// goes to any one thread that does not block it. Taken on an SDK thread it
// would run the application's handler there: the application's main thread,
// perhaps asleep in a wait only a signal interrupts, or with the signal
// blocked on purpose, would not learn of it. So SDK threads start with every
// such signal blocked and leave them all to the application's threads.
//
// The signals a fault raises on the faulting thread itself (SIGSEGV, SIGBUS,
// SIGFPE, SIGILL, SIGTRAP, SIGSYS) stay unblocked: blocked, the kernel ends
// the process at once without running a crash reporter or a sanitizer's
// handler. They are synchronous, never the asynchronous kind kept out here.
#pragma once

#include <signal.h>

#include <thread>
#include <utility>

namespace lumora_sdk {

// While one lives, the calling thread blocks every asynchronous signal; its
// own mask is restored on destruction. A thread started meanwhile inherits
// the full mask.
class AsyncSignalsBlocked {
 public:
  AsyncSignalsBlocked();
  ~AsyncSignalsBlocked();
  AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
  AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};

// Starts a std::thread running fn() with every asynchronous signal blocked
// from its first instruction on. Throws std::system_error, as std::thread
// does, when no thread can be made; the caller's mask is restored either way.
template <typename F>
std::thread start_sdk_thread(F&& fn) {
  AsyncSignalsBlocked blocked;
  return std::thread(std::forward<F>(fn));
}

}  // namespace lumora_sdk
