// console.cpp -- the SIGINT handler that stands in for the console control
// handler: a bell on the terminal, then slot 2 of the signal table, or the
// default action (the end of the process) while slot 2 is empty.
#include "startup/console.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/raw.h"
#include "startup/exit_program.h"
#include "startup/signals.h"

namespace kvf {
namespace {

std::atomic<bool> g_installed{false};
int g_tty = -1;  // the controlling terminal for the bell, -1 when none

void console_handler(int) {
  int saved = errno;
  if (g_tty >= 0) sys::raw::write(g_tty, "\a", 1);
  SignalHandler h = signal_handler(kSigInterrupt);
  if (!h) {
    // Not handled: the default action ends the process.
    sys::raw::raise_with_default_action(SIGINT);
    errno = saved;
    return;
  }
  h(kSigInterrupt);
  errno = saved;
}

}  // namespace

bool console_handler_installed() { return g_installed.load(); }

void install_console_handler() {
  if (g_tty < 0) g_tty = sys::open("/dev/tty", O_WRONLY | O_NOCTTY);
  // An interrupt that whoever started the tool ignores (a script's
  // background job) stays ignored: the handler is not installed, and
  // set_signal leaves SIGINT alone all the same, so that nothing later
  // catches it either.
  struct sigaction inherited{};
  if (sys::signal_action(SIGINT, inherited) == 0 && inherited.sa_handler == SIG_IGN) {
    g_installed.store(true);
    return;
  }
  if (sys::set_signal_action(SIGINT, console_handler, SA_RESTART) != 0) {
    std::printf("%s: w32ec=%d at %s:%d\n", "Could not set control handler\n", errno, "nt_sig", 402);
    exit_program(1);
  }
  g_installed.store(true);
}

}  // namespace kvf
