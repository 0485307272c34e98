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
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/InstrumentSpec.h"
#include "tesmo/control.h"

namespace tesmo::sim {

// The device commands, one per line, each command preceded by `prefix`
// ("~" in the terminal).
std::string DeviceCommandHelp(std::string_view prefix);

// What a device command did.
struct DeviceCommandResult {
    bool ok = false;
    // A replug: the device that left and the one plugged in its place.
    std::int32_t replaced = 0;
    std::int32_t replacement = 0;
};

class SimSystem {
public:
    enum class Clock { Automatic, RealTime };

    explicit SimSystem(Clock clock);
    ~SimSystem();  // shuts down with the report, unless Shutdown ran
    SimSystem(const SimSystem&) = delete;
    SimSystem& operator=(const SimSystem&) = delete;

    bool booted() const { return booted_; }
    // Writes every URB of the bus to `path` (USBPcap, for Wireshark); false,
    // with the reason printed, when the file cannot be written.
    bool Capture(const std::string& path);
    // Writes the timeline (trace-event JSON) to `path`; false, with the
    // reason printed, when the file cannot be written.
    bool Timeline(const std::string& path);
    // Plugs and returns the device id, or nothing (with the reason printed).
    std::optional<std::int32_t> Plug(const InstrumentSpec& instrument);
    // Plugs each, printing "COMn (device N): KIND"; false at the first that fails.
    bool PlugAll(const std::vector<InstrumentSpec>& instruments, std::vector<std::int32_t>& devices);
    std::string PortName(std::int32_t device) const;
    // The last plugged device, 0 before any.
    std::int32_t lastDevice() const { return devices_.empty() ? 0 : devices_.back().id; }

    // A device command as typed: "unplug [N]", "replug [N]", "rebalance [N]",
    // "disable [N]", "enable [N]", "sleep [S]", "wake", "log [N]", "advance MS",
    // "state [N]". Prints what happened to `out`.
    DeviceCommandResult RunDeviceCommand(const std::string& line, std::FILE* out);
    static bool IsDeviceCommand(const std::string& word);

    // The decoded event log of a device (empty when there is none).
    std::string EventLogText(std::int32_t device) const;

    // Shuts down, prints the verifier's findings to `out` and returns their
    // number.
    std::uint32_t Shutdown(std::FILE* out);

private:
    struct Plugged {
        std::int32_t id;
        InstrumentSpec instrument;
    };
    const Plugged* Find(std::int32_t id) const;
    // Plugs the instrument as given (no serial number of its own).
    std::optional<std::int32_t> PlugAsGiven(const InstrumentSpec& instrument);
    // Whether the unplugged device's removal finishes soon: the port's last
    // handle is closed (a bridge closes its own within its read slice).
    static bool RemovalFinishes(std::int32_t device);

    bool booted_ = false;
    unsigned serialNumbers_ = 0;
    std::vector<Plugged> devices_;
};

// Every argument a valid instrument, or the first one's reason it is not.
std::optional<std::string> ParseInstruments(const std::vector<std::string>& texts,
                                            std::vector<InstrumentSpec>& instruments);

}  // namespace tesmo::sim
