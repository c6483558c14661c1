// fault.h -- recovery from a segmentation or bus fault while a walk reads a
// record: the handler jumps back to the walk's recovery point. A fault while
// no recovery point is set takes the default action and ends the process.
#pragma once

#include <csetjmp>

namespace kvf {

// Jumps to the current recovery point with the value 1.
void kvf_fault_handler(int signal);

// Installs kvf_fault_handler for SIGSEGV, then SIGBUS, running on an
// alternate signal stack (a fault may come from a stack overrun too). Once
// installed the handlers stay for the rest of the program.
void install_fault_handlers();

// The point a fault returns to (taken with sigsetjmp, mask saved), or
// nullptr outside a walk.
void set_recovery_point(sigjmp_buf* point);

}  // namespace kvf
