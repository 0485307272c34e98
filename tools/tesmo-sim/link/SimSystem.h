// One session of the emulated system for the interactive commands (pty,
// rfc2217, term) and scenario files: boots it with the verifier recording,
// plugs the instruments asked for, carries out the device commands a user
// types (unplug, replug, sleep, wake, ...), and on destruction shuts down
// and prints the verifier's report.
//
// In real time mode the emulated clock follows the wall clock
// (TESMO_CLOCK_WALL) instead of jumping whenever every thread waits (a
// bridge that waits for its client would send it racing ahead), so an
// instrument's latency and the bus's frames take the time they say.
//
// Control calls may come from any thread, also while another one waits on
// the driver (a sleep while a bridge's read is pending).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tesmo/control.h"

namespace tesmo::sim {

// "command", "loopback", "stream", optionally with ":512" for high speed
// (512-byte packets), ":frames" for frame timing and, for the command
// instrument, ":latency=MS" before each answer, e.g. "loopback:512".
std::optional<tesmo_instrument> ParseInstrument(const std::string& text);

class SimSystem {
public:
    enum class Clock { Automatic, RealTime };

    explicit SimSystem(Clock clock);
    ~SimSystem();  // shuts down with the report, unless Shutdown ran
    SimSystem(const SimSystem&) = delete;
    SimSystem& operator=(const SimSystem&) = delete;

    bool booted() const { return booted_; }
    // Plugs and returns the device id, or nothing (with the reason printed).
    std::optional<std::int32_t> Plug(const tesmo_instrument& instrument);
    std::string PortName(std::int32_t device) const;
    // The last plugged device, 0 before any.
    std::int32_t lastDevice() const { return devices_.empty() ? 0 : devices_.back().id; }

    // A device command as typed: "unplug [N]", "replug [N]", "rebalance [N]",
    // "disable [N]", "enable [N]", "sleep [S]", "wake", "log [N]", "advance MS",
    // "state [N]". Prints what happened to `out`; false when it failed or
    // is not one of these.
    bool RunDeviceCommand(const std::string& line, std::FILE* out);
    static bool IsDeviceCommand(const std::string& word);

    // The decoded event log of a device (empty when there is none).
    std::string EventLogText(std::int32_t device) const;

    // Shuts down, prints the verifier's findings to `out` and returns their
    // number.
    std::uint32_t Shutdown(std::FILE* out);

private:
    struct Plugged {
        std::int32_t id;
        tesmo_instrument instrument;
    };
    const Plugged* Find(std::int32_t id) const;

    bool booted_ = false;
    std::vector<Plugged> devices_;
};

}  // namespace tesmo::sim
