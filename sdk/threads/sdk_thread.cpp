// Starting SDK threads with asynchronous signals blocked (see sdk_thread.h).

#include "threads/sdk_thread.h"

#include <pthread.h>

namespace lumora_sdk {

namespace {

// Raised by a fault on the thread that faulted; see sdk_thread.h.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};

sigset_t asynchronous_signals() {
  sigset_t set;
  sigfillset(&set);  // SIGKILL and SIGSTOP are never blocked, whatever the set says
  for (int signal_number : kFaultSignals) {
    sigdelset(&set, signal_number);
  }
  return set;
}

}  // namespace

AsyncSignalsBlocked::AsyncSignalsBlocked() {
  static const sigset_t blocked = asynchronous_signals();
  pthread_sigmask(SIG_BLOCK, &blocked, &saved_);
}

AsyncSignalsBlocked::~AsyncSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

}  // namespace lumora_sdk
