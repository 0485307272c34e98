// A scenario of the explorer as data: the instruments to plug, what each
// port's application does, and what the control thread does meanwhile, all
// drawn from one seed so that the same seed always gives the same program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tesmo::explore {

struct DeviceSpec {
    int32_t kind = 0;          // TESMO_INSTRUMENT_*
    uint32_t packetSize = 64;  // 64 or 512
    int32_t layout = 0;        // TESMO_LAYOUT_*; not the standard one: the start must fail
    bool frameTiming = false;  // bulk transfers complete at (micro)frame boundaries
};

enum class AppOp {
    Read,         // a: length
    Ask,          // write "*IDN?\n" (a command instrument answers with one line)
    Write,        // a: length of filler bytes
    SetState,     // a: baud rate index
    SetTimeouts,  // a: multiplier, b: constant (ms)
    ClearError,   // the status query and its read-ahead
    Purge,        // a: PurgeComm flags
    TransmitChar,
    FuzzControl,       // a: code, b: input length | output length << 16; the bytes come from `seed`
    CancelledControl,  // a control request that may be held, cancelled at once
    Reopen,            // close the port and open it again
    Pause,             // a: microseconds of the application's own work; b: 1 to detach meanwhile
};

struct AppStep {
    AppOp op;
    uint32_t a = 0;
    uint32_t b = 0;
    uint32_t seed = 0;
};

enum class ControlOp { Rebalance, SleepWake, DisableEnable, Unplug, Advance, FailAllocation };

struct ControlStep {
    ControlOp op;
    int device = 0;      // index into Program::devices; FailAllocation: the site (TESMO_FAULT_*)
    int64_t amount = 0;  // Advance: 100-ns units; FailAllocation: which call from now fails
};

struct Program {
    uint64_t seed = 0;
    std::vector<DeviceSpec> devices;
    std::vector<std::vector<AppStep>> apps;  // one application per device
    // A second thread on each application's handle (status queries, settings,
    // held requests while the application reads and writes); may be empty.
    std::vector<std::vector<AppStep>> companions;
    std::vector<ControlStep> control;

    std::size_t StepCount() const;
};

struct Limits {
    int maxDevices = 2;
    int maxAppSteps = 40;
    int maxControlSteps = 8;
    // Step kinds left out of every program (by their names in Describe), to
    // look past a fault already known; also "companion" (second threads),
    // "loopback" and "frame-timing" (devices of those kinds).
    std::vector<std::string> without;
};

Program Generate(uint64_t seed, const Limits& limits);
std::string Describe(const Program& program);

}  // namespace tesmo::explore
