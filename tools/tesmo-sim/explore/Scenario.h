// Runs one program of the explorer in a fresh emulated system, through the
// control library and the Win32 API only, and judges it: what the oracles saw,
// every request back, and a verifier with nothing to report at shutdown.
//
// Threads: one application thread per started port and one control thread,
// all free-running; the caller's thread boots, waits and shuts down. Meant to
// run in a process of its own (a crash or hang is the caller's to observe).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Program.h"

namespace tesmo::explore {

struct Outcome {
    bool failed = false;
    std::vector<std::string> complaints;  // what went wrong, first first
    std::uint64_t requests = 0;           // Win32 and control calls made
    std::vector<std::string> traceTail;   // the driver's last trace lines
};

Outcome RunScenario(const Program& program);

}  // namespace tesmo::explore
