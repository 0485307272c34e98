// The control side of the interactive commands: reads command lines from
// standard input until "quit", Ctrl-C or SIGTERM. Standard input that ends
// or is closed (a daemon) only stops the reading; the signals still end the
// run. A terminal is read only while the process is in its foreground
// process group: a command started with `&` from a shell would otherwise be
// stopped (SIGTTIN) the moment it reads; it looks again now and then, so
// that `fg` gives it the terminal back.
#pragma once

#include <functional>
#include <string>

#include "link/FdTools.h"

namespace tesmo::sim {

// Blocks SIGINT and SIGTERM in the calling thread and every thread it
// starts later, so that only Console::Run takes them. Call it before the
// emulated system starts its threads.
void BlockStopSignals();

// A signal fd that becomes readable when SIGINT or SIGTERM comes, for a
// command's own poll loop.
UniqueFd OpenStopSignalFd();

// Hands each line (without its end) to `onLine`; returns when the user
// quits. Without `readInput` (--no-console) only the signals end it.
void RunConsole(const std::function<void(const std::string&)>& onLine, bool readInput = true);

// True when reading standard input now would not stop the process: it is
// no terminal, or this process is in the terminal's foreground group.
bool MayReadInput();

}  // namespace tesmo::sim
