// fault.cpp -- SIGSEGV/SIGBUS handlers on an alternate stack that jump back
// to the walk in progress on the faulting thread. A fault is delivered to
// the thread that made the bad access, so each thread keeps its own
// recovery point, and a walk rendering on several threads recovers each
// range where it faulted.
#include "viewer/fault.h"

#include <csignal>

#include "platform/process.h"
#include "platform/raw.h"

namespace kvf {
namespace {

thread_local sigjmp_buf* volatile g_point = nullptr;
bool g_installed = false;
alignas(16) unsigned char g_alternate_stack[64 * 1024];

}  // namespace

void kvf_fault_handler(int signal) {
  sigjmp_buf* point = g_point;
  if (point) siglongjmp(*point, 1);
  // Not inside a walk: the fault is a defect of the program. With the
  // default action back in place the signal, blocked while this handler
  // runs, ends the process as soon as the handler returns.
  sys::raw::raise_with_default_action(signal);
}

void install_fault_handlers() {
  if (g_installed) return;
  sys::set_alternate_stack(g_alternate_stack, sizeof g_alternate_stack);
  sys::set_signal_action(SIGSEGV, kvf_fault_handler, SA_ONSTACK);
  sys::set_signal_action(SIGBUS, kvf_fault_handler, SA_ONSTACK);
  g_installed = true;
}

ThreadFaultStack::ThreadFaultStack(void* stack, std::size_t size)
    : set_(sys::set_alternate_stack(stack, size, &old_) == 0) {}

ThreadFaultStack::~ThreadFaultStack() {
  if (set_) sys::restore_alternate_stack(old_);
}

void set_recovery_point(sigjmp_buf* point) { g_point = point; }

}  // namespace kvf
