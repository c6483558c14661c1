// console.h -- the console control handler: Ctrl+C rings the terminal's
// bell and goes to the signal table's handler for 2.
#pragma once

namespace kvf {

// Installs the SIGINT handler, or prints the diagnostic line and ends the
// program with status 1. A SIGINT ignored when the program started is left
// ignored.
void install_console_handler();

// True once install_console_handler has run: set_signal then leaves SIGINT
// to the handler, or ignored when it was ignored at start.
bool console_handler_installed();

}  // namespace kvf
