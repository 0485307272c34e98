// The power manager's private state. Private to the emulation.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "emu/Power.h"
#include "ManagerThread.h"
#include "emu_ntddk.h"

namespace emu::detail {

class PowerManagerState {
public:
    // Runs a job on the power thread (created on first use).
    void Post(std::function<void()> job) { thread_.Post(std::move(job)); }
    void Drain() { thread_.Drain(); }
    void Shutdown() { thread_.Shutdown(); }
    // The device object's memory is gone: what was recorded about it goes
    // too, so that a device made later at the same address starts afresh.
    void ForgetDevice(PDEVICE_OBJECT device);

    mutable std::mutex mutex;
    int refuseCount = 0;
    NTSTATUS refuseStatus = STATUS_UNSUCCESSFUL;
    Time watchdog = 60 * kSecond;
    std::vector<PowerEvent> history;
    std::map<PDEVICE_OBJECT, int> announced;
    std::size_t inFlight = 0;

private:
    ManagerThread thread_{"power"};
};

}  // namespace emu::detail
