// The control side of the interactive commands: reads command lines from
// standard input until "quit", Ctrl-C or SIGTERM. Standard input that ends
// (a program started in the background) only stops the reading; the signals
// still end the run.
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
// quits.
void RunConsole(const std::function<void(const std::string&)>& onLine);

}  // namespace tesmo::sim
