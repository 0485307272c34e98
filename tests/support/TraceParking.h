// Parks the driver's thread at one of its own trace lines until the test lets
// it go: the request then stands still inside the driver at a chosen point,
// owning what it owns there, so that a race runs in one chosen order.
//
// Threads: the sink runs on whatever thread prints the line (the parked one
// blocks in it, holding no lock of the emulation); WaitParked and Release are
// for the test's thread. The first thread to print the line is parked; later
// ones pass once released. Given a thread name, only that thread is parked;
// the others print the line and go on. The state lives as long as any copy of the sink,
// since the kernel may still be calling one after the sink is detached. Only
// one sink exists per system: while parking, no TraceRecorder may be attached.
#pragma once

#include <memory>
#include <string>

#include "emu/System.h"

namespace tesmo::test {

class TraceParking {
public:
    TraceParking(emu::System& system, std::string line, std::string onlyThread = {});
    ~TraceParking();  // releases, then detaches the sink
    TraceParking(const TraceParking&) = delete;
    TraceParking& operator=(const TraceParking&) = delete;

    void WaitParked();
    void Release();

private:
    struct State;
    emu::System& system_;
    std::shared_ptr<State> state_;
};

}  // namespace tesmo::test
