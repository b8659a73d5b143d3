// Text a window program prints (its help, a wrong option) for the terminal it was started from.
#pragma once

namespace platform {

// Makes stdout and stderr reach the terminal that started the program, where a window program
// has none of its own (Windows); elsewhere they already do.
void UseStartingConsole();

}  // namespace platform
