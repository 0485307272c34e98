// Runs one program of the explorer in a fresh emulated system, through the
// control library and the Win32 API only, and judges it: what the oracles saw,
// every request back, and a verifier with nothing to report at shutdown.
//
// Threads: one application thread per started port; the caller's thread
// boots, runs the control steps, waits and shuts down. Free-running, or under
// a controlled schedule drawn from the program's seed, which then gives the
// same interleaving every run. Meant to run in a process of its own (a crash
// or hang is the caller's to observe).
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
    std::uint64_t schedulePoints = 0;     // interleaving points passed (controlled only)
    // Of the driver's whole trace, pointers left out (they vary with the
    // heap): the interleaving's fingerprint.
    std::uint64_t traceDigest = 0;
    // Of every call's result (return value, count, error) in each thread's
    // order, the threads in a fixed order.
    std::uint64_t resultDigest = 0;
    // The race detector's figures, when the driver image is instrumented.
    bool raceDetector = false;
    std::uint64_t raceChecked = 0;
    std::uint64_t raceWatched = 0;
    std::vector<std::pair<std::string, std::uint64_t>> markedPlaces;  // "file:line: why", reads
};

struct Schedule {
    bool controlled = true;
    unsigned depth = 3;  // PCT depth: change points + 1
};

// `capturePath`, if not empty: where the bus's URBs are written (USBPcap).
Outcome RunScenario(const Program& program, const Schedule& schedule, const std::string& capturePath = {});

}  // namespace tesmo::explore
