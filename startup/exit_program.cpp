// exit_program.cpp -- flush stdio and the C++ streams, then end the process
// at once: no exit handlers and no static destructors run, as a process
// ended by the console handler or a fault path must not depend on them.
#include "startup/exit_program.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace kvf {

void exit_program(int status) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace kvf
