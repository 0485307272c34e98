// The demo session: boots the emulated system through the control library,
// plugs in the command/answer instrument, talks to it on COM3 through the
// Win32 API as a serial-port program would, prints the device's event log,
// unplugs and shuts down with the verifier's report.
#pragma once

#include <cstdint>
#include <string>

namespace tesmo::sim {

struct DemoOptions {
    std::uint32_t traceLevel = 4;  // trace lines up to this level; 6 also raises the driver's filter
    std::string saveLogPath;       // where to save the event-log copy; empty: nowhere
    std::string pcapPath;          // where the USB capture goes; empty: none
    std::string timelinePath;      // where the timeline goes; empty: none
};

// The process's exit code: 0 when everything worked and the verifier found nothing.
int RunDemo(const DemoOptions& options);

}  // namespace tesmo::sim
