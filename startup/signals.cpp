// signals.cpp -- the signal table, its host-signal trampoline, and the queue
// behind post_signal / deliver_signals (lock-free counters, safe to fill
// from a signal handler).
#include "startup/signals.h"

#include "startup/console.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "platform/process.h"

namespace kvf {
namespace {

void do_nothing(int) {}

// Written by set_signal on the main thread, read by host handlers.
std::atomic<SignalHandler> g_table[kSignalSlots];
// Posted numbers not yet delivered.
std::atomic<int> g_pending[kSignalSlots];

int program_number(int host) {
  switch (host) {
    case SIGHUP: return kSigHangup;
    case SIGINT: return kSigInterrupt;
    case SIGQUIT: return kSigQuit;
    case SIGALRM: return kSigAlarm;
    case SIGBUS: return kSigBus;
    case SIGSEGV: return kSigSegv;
    case SIGTERM: return kSigTerm;
    default: return 0;
  }
}

// The alarm is posted, as post_signal would, and runs at deliver_signals.
void post_alarm(int) { g_pending[kSigAlarm].fetch_add(1); }

void trampoline(int host) {
  int saved = errno;
  int number = program_number(host);
  SignalHandler h = g_table[number].load();
  if (h) h(number);
  errno = saved;
}

bool g_alt_stack_ready = false;

void ensure_alt_stack() {
  if (g_alt_stack_ready) return;
  // Kept for the life of the process: the fault handlers may run any time.
  static char* stack = new char[1 << 16];
  if (sys::set_alternate_stack(stack, 1 << 16) == 0) g_alt_stack_ready = true;
}

}  // namespace

int host_signal(int number) {
  switch (number) {
    case kSigHangup: return SIGHUP;
    case kSigInterrupt: return SIGINT;
    case kSigQuit: return SIGQUIT;
    case kSigAlarm: return SIGALRM;
    case kSigBus: return SIGBUS;
    case kSigSegv: return SIGSEGV;
    case kSigTerm: return SIGTERM;
    default: return 0;
  }
}

SignalHandler set_signal(int number, SignalHandler handler) {
  if (number <= 0 || number >= kSignalSlots) return nullptr;
  if (handler == kHandlerDefault || handler == kHandlerIgnore) handler = do_nothing;
  SignalHandler previous = g_table[number].exchange(handler);
  int host = host_signal(number);
  if ((host == SIGSEGV || host == SIGBUS) && handler == do_nothing) {
    // Returning from a fault would only fault again: without a handler of
    // its own a fault keeps the system's action.
    sys::set_signal_action(host, SIG_DFL, SA_RESTART);
    return previous;
  }
  // The console handler already routes SIGINT to slot 2, after its bell.
  if (host != 0 && !(host == SIGINT && console_handler_installed())) {
    int flags = SA_RESTART;
    if (host == SIGSEGV || host == SIGBUS) {
      ensure_alt_stack();
      flags |= SA_ONSTACK | SA_NODEFER;
    }
    sys::set_signal_action(host, host == SIGALRM ? post_alarm : trampoline, flags);
  }
  return previous;
}

SignalHandler signal_handler(int number) {
  if (number <= 0 || number >= kSignalSlots) return nullptr;
  return g_table[number].load();
}

int post_signal(pid_t pid, int number) {
  if (number < 0 || number >= kSignalSlots) {
    errno = EINVAL;
    return -1;
  }
  if (number != 0 && pid == sys::process_id()) {
    g_pending[number].fetch_add(1);
    return 0;
  }
  int host = number == 0 ? 0 : host_signal(number);
  if (number != 0 && host == 0) {
    errno = EINVAL;
    return -1;
  }
  if (sys::send_signal(pid, host) == 0) return 0;
  if (errno == EPERM) return 0;  // it exists; we may not signal it
  errno = ESRCH;                 // 3: gone
  return -1;
}

int set_alarm(int seconds) {
  if (seconds <= 0) return 0;
  if (sys::set_signal_action(SIGALRM, post_alarm, SA_RESTART) != 0) return 0;
  return sys::start_alarm(static_cast<long>(seconds) * 1500) == 0 ? 1 : 0;
}

void deliver_signals() {
  for (int number = 1; number < kSignalSlots; ++number) {
    while (g_pending[number].load() > 0) {
      g_pending[number].fetch_sub(1);
      SignalHandler h = g_table[number].load();
      (h ? h : do_nothing)(number);
    }
  }
}

}  // namespace kvf
