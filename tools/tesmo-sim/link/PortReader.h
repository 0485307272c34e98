// Reads a bridged COM port on a thread of its own and hands every answer to
// the bridge, until stopped or until the instrument is pulled out.
//
// Reads wait at most kReadSlice of emulated time (which the real-time clock
// keeps close to wall time) and then start again, so that Stop ends the
// thread within a slice: a read waiting inside the driver cannot be
// cancelled from here. The slice is set again before each read: the driver
// goes back to its own read time-out at every START (after a rebalance or
// an enable), and a read of two minutes would hold back a sleep or a stop. A read that fails on a device still plugged
// in (for example while the system sleeps) is retried after a pause.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <thread>

#include "link/ComPort.h"

namespace tesmo::sim {

class PortReader {
public:
    using BytesHandler = std::function<void(std::span<const std::uint8_t>)>;
    using GoneHandler = std::function<void()>;

    static constexpr DWORD kReadSlice = 100;  // milliseconds

    // Starts reading at once; `onBytes` and `onGone` run on the reader's
    // thread, `onGone` last of all, when the device was unplugged.
    PortReader(ComPort& port, std::int32_t device, BytesHandler onBytes, GoneHandler onGone);
    ~PortReader();  // stops
    PortReader(const PortReader&) = delete;
    PortReader& operator=(const PortReader&) = delete;

    // Returns when the thread has ended; may be called from the handlers'
    // own thread (then it only asks the thread to end).
    void Stop();

private:
    void Run();
    bool DeviceUnplugged() const;

    ComPort& port_;
    std::int32_t device_;
    BytesHandler onBytes_;
    GoneHandler onGone_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace tesmo::sim
