// fault.h -- recovery from a segmentation or bus fault while a walk reads a
// record: the handler jumps back to the walk's recovery point. A fault while
// no recovery point is set takes the default action and ends the process.
#pragma once

#include <csetjmp>
#include <cstddef>

#include <signal.h>

namespace kvf {

// Jumps to the calling thread's recovery point with the value 1.
void kvf_fault_handler(int signal);

// Installs kvf_fault_handler for SIGSEGV, then SIGBUS, running on an
// alternate signal stack (a fault may come from a stack overrun too). Once
// installed the handlers stay for the rest of the program. The alternate
// stack is the calling thread's; another thread that renders records gives
// its own with ThreadFaultStack.
void install_fault_handlers();

// `size` bytes at `stack` as the calling thread's stack for the fault
// handlers while the object lives; then the thread's stack before it is
// put back (a runtime that gave the thread a stack of its own may free
// that one when the thread ends, and must find it there).
class ThreadFaultStack {
 public:
  ThreadFaultStack(void* stack, std::size_t size);
  ~ThreadFaultStack();
  ThreadFaultStack(const ThreadFaultStack&) = delete;
  ThreadFaultStack& operator=(const ThreadFaultStack&) = delete;

 private:
  stack_t old_{};
  bool set_ = false;
};

// The point a fault on the calling thread returns to (taken with sigsetjmp,
// mask saved), or nullptr outside a walk. Each thread has its own.
void set_recovery_point(sigjmp_buf* point);

}  // namespace kvf
