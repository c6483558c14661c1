// console.h -- the console control handler: Ctrl+C rings the terminal's
// bell and goes to the signal table's handler for 2.
#pragma once

namespace kvf {

// Installs the SIGINT handler, or prints the diagnostic line and ends the
// program with status 1.
void install_console_handler();

// True once the handler is installed (set_signal then leaves SIGINT to it).
bool console_handler_installed();

}  // namespace kvf
