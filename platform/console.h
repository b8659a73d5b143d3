// Text a window program prints (its help, a wrong option) for the terminal it was started from.
#pragma once

#include <atomic>
#include <string>

namespace platform {

// Makes stdout and stderr reach the terminal that started the program, where a window program
// has none of its own (Windows); elsewhere they already do.
void UseStartingConsole();

// Ctrl+C, and the system's request to end the program where it sends one, set `flag` to 1
// instead of ending the program, so a run can end its work cleanly. A second Ctrl+C ends it at
// once, as usual. `flag` must live as long as the program.
void CatchInterrupts(std::atomic<int>& flag);

// This machine's name, as reports name the host a run was made on; "" when unknown.
std::string HostName();

}  // namespace platform
