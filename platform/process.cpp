// process.cpp -- signal actions, the alternate signal stack, the alarm
// timer, kill, sleeping and the clock, through the table.
#include "platform/process.h"

#include <cerrno>
#include <csignal>

#include <sys/time.h>
#include <unistd.h>

#include "platform/sys.h"

namespace kvf::sys {

int set_signal_action(int sig, SignalFunction handler, int flags, struct sigaction* old) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  return retry([&] { return calls().sigaction(sig, &action, old); });
}

int signal_action(int sig, struct sigaction& out) {
  return retry([&] { return calls().sigaction(sig, nullptr, &out); });
}

int set_alternate_stack(void* stack, std::size_t size, stack_t* old) {
  stack_t ss{};
  ss.ss_sp = stack;
  ss.ss_size = size;
  return calls().sigaltstack(&ss, old);
}

int restore_alternate_stack(const stack_t& old) { return calls().sigaltstack(&old, nullptr); }

int start_alarm(long ms) {
  struct itimerval timer {};
  timer.it_value.tv_sec = ms / 1000;
  timer.it_value.tv_usec = (ms % 1000) * 1000;
  return calls().setitimer(ITIMER_REAL, &timer, nullptr);
}

int send_signal(pid_t pid, int sig) { return calls().kill(pid, sig); }

pid_t process_id() { return ::getpid(); }

void sleep_ms(long ms) {
  struct timespec left {ms / 1000, (ms % 1000) * 1000000L};
  while (calls().nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::time_t now() { return calls().time(nullptr); }

}  // namespace kvf::sys
