// The emulated power manager as tests see it: device power IRPs requested by
// drivers (PoRequestPowerIrp) are delivered to the top of the device's stack at
// PASSIVE_LEVEL on the power manager's thread; system power IRPs are sent the
// same way; PoCallDriver, PoStartNextPowerIrp and PoSetPowerState are tracked.
//
// Thread-safe. A device power IRP that is not finished within the watchdog
// (emulated time) is a Rule::PowerIrpWatchdog violation: the real system would
// stop with a power-state failure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emu/Clock.h"

struct _DEVICE_OBJECT;
struct _IRP;

namespace emu {

namespace detail {
class PowerManagerState;
}

struct PowerEvent {
    enum class Kind {
        DeviceIrpRequested,
        DeviceIrpRefused,
        DeviceIrpCompleted,
        SystemIrpSent,
        SystemIrpCompleted,
        SetPowerState
    };
    Kind kind;
    _DEVICE_OBJECT* device;
    std::uint8_t minor;   // IRP_MN_SET_POWER / IRP_MN_QUERY_POWER
    int state;            // D-state or S-state value
    std::int32_t status;  // completion status, or the refusal
};

class PowerManager {
public:
    explicit PowerManager(detail::PowerManagerState& state) : state_(state) {}

    // The next `count` PoRequestPowerIrp calls are refused with `status`.
    void RefuseRequests(int count, std::int32_t status);
    // Emulated time a device power IRP may take before the watchdog fires.
    void SetWatchdog(Time bound);
    // Sends a system power IRP (IRP_MN_QUERY_POWER or IRP_MN_SET_POWER for
    // `systemState`) to the top of `device`'s stack on the power thread and
    // waits for it; returns its final status.
    std::int32_t SendSystemPowerIrp(_DEVICE_OBJECT* device, std::uint8_t minor, int systemState);
    // Blocks until every power IRP the power manager delivered has finished
    // and the dispatch routines it called on the power thread have returned.
    void WaitIdle();
    // The events of device objects that still exist (the records of one go
    // with its memory, after its deletion), in order.
    std::vector<PowerEvent> History() const;
    // The state a device last announced with PoSetPowerState (0 if none).
    int AnnouncedDeviceState(_DEVICE_OBJECT* device) const;
    std::size_t IrpsInFlight() const;

private:
    detail::PowerManagerState& state_;
};

}  // namespace emu
