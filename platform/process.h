// process.h -- signals, other processes and time, through the table of
// sys.h: handlers installed with sigaction, liveness and signals sent with
// kill, sleeping, the clock.
#pragma once

#include <cstddef>
#include <ctime>

#include <signal.h>
#include <sys/types.h>

struct sigaction;

namespace kvf::sys {

using SignalFunction = void (*)(int);

// Installs `handler` (or SIG_DFL, SIG_IGN) for `sig` with an empty mask and
// `flags` (SA_RESTART, SA_ONSTACK, ...); `old`, when given, receives the
// action it replaces. 0, or -1 with errno.
int set_signal_action(int sig, SignalFunction handler, int flags, struct sigaction* old = nullptr);
// The action in place for `sig`: 0, or -1 with errno.
int signal_action(int sig, struct sigaction& out);
// Signal handlers of the calling thread run on `size` bytes at `stack` when
// installed with SA_ONSTACK; `old`, when given, receives the stack this one
// replaces. 0, or -1 with errno.
int set_alternate_stack(void* stack, std::size_t size, stack_t* old = nullptr);
// Puts back a stack that set_alternate_stack gave in `old`: 0, or -1 with
// errno.
int restore_alternate_stack(const stack_t& old);
// SIGALRM once, `ms` milliseconds from now: 0, or -1 with errno.
int start_alarm(long ms);

// kill(2): 0, or -1 with errno (signal 0 asks only whether `pid` exists).
int send_signal(pid_t pid, int sig);
pid_t process_id();

// Sleeps `ms` milliseconds, going back to sleep for what is left when a
// signal handler interrupts.
void sleep_ms(long ms);
// Seconds since the epoch.
std::time_t now();

}  // namespace kvf::sys
