// fault.cpp -- SIGSEGV/SIGBUS handlers on an alternate stack that jump back
// to the walk in progress.
#include "viewer/fault.h"

#include <csignal>

namespace kvf {
namespace {

sigjmp_buf* volatile g_point = nullptr;
bool g_installed = false;
alignas(16) unsigned char g_alternate_stack[64 * 1024];

}  // namespace

void kvf_fault_handler(int signal) {
  sigjmp_buf* point = g_point;
  if (point) siglongjmp(*point, 1);
  // Not inside a walk: the fault is a defect of the program. With the
  // default action back in place the signal, blocked while this handler
  // runs, ends the process as soon as the handler returns.
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void install_fault_handlers() {
  if (g_installed) return;
  stack_t stack{};
  stack.ss_sp = g_alternate_stack;
  stack.ss_size = sizeof g_alternate_stack;
  sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_handler = kvf_fault_handler;
  action.sa_flags = SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, nullptr);
  sigaction(SIGBUS, &action, nullptr);
  g_installed = true;
}

void set_recovery_point(sigjmp_buf* point) { g_point = point; }

}  // namespace kvf
