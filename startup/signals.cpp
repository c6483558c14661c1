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
std::atomic<SignalHandler> g_table[k_signal_slots];
// Posted numbers not yet delivered.
std::atomic<int> g_pending[k_signal_slots];

int program_number(int host) {
  switch (host) {
    case SIGHUP: return k_sig_hangup;
    case SIGINT: return k_sig_interrupt;
    case SIGQUIT: return k_sig_quit;
    case SIGALRM: return k_sig_alarm;
    case SIGBUS: return k_sig_bus;
    case SIGSEGV: return k_sig_segv;
    case SIGTERM: return k_sig_term;
    default: return 0;
  }
}

// The alarm is posted, as post_signal would, and runs at deliver_signals.
void post_alarm(int) { g_pending[k_sig_alarm].fetch_add(1); }

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
    case k_sig_hangup: return SIGHUP;
    case k_sig_interrupt: return SIGINT;
    case k_sig_quit: return SIGQUIT;
    case k_sig_alarm: return SIGALRM;
    case k_sig_bus: return SIGBUS;
    case k_sig_segv: return SIGSEGV;
    case k_sig_term: return SIGTERM;
    default: return 0;
  }
}

SignalHandler set_signal(int number, SignalHandler handler) {
  if (number <= 0 || number >= k_signal_slots) return nullptr;
  if (handler == k_handler_default || handler == k_handler_ignore) handler = do_nothing;
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
  if (number <= 0 || number >= k_signal_slots) return nullptr;
  return g_table[number].load();
}

int post_signal(pid_t pid, int number) {
  if (number < 0 || number >= k_signal_slots) {
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
  for (int number = 1; number < k_signal_slots; ++number) {
    while (g_pending[number].load() > 0) {
      g_pending[number].fetch_sub(1);
      SignalHandler h = g_table[number].load();
      (h ? h : do_nothing)(number);
    }
  }
}

}  // namespace kvf
