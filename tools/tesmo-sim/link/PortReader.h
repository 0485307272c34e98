// Reads a bridged COM port on a thread of its own and hands every answer to
// the bridge, from a second thread, until stopped or until the instrument
// is pulled out. Reading goes on while the bridge passes the last bytes on
// (a pty or a socket takes its time), so that a fast instrument's bus is
// not left idle between two reads; at most kMostQueued bytes wait.
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
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "link/ComPort.h"

namespace tesmo::sim {

class PortReader {
public:
    using BytesHandler = std::function<void(std::span<const std::uint8_t>)>;
    using GoneHandler = std::function<void()>;

    static constexpr DWORD kReadSlice = 100;  // milliseconds
    // Each read asks for this much: a high-speed bus with frame timing
    // carries 13 packets of 512 bytes a microframe, and reads of a few
    // packets would leave most microframes idle between two reads. A read
    // still ends at the instrument's first short packet.
    static constexpr std::size_t kReadSize = 1024 * 1024;

    static constexpr std::size_t kMostQueued = 4 * kReadSize;

    // Starts reading at once; `onBytes` and `onGone` run on the delivering
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
    void Deliver();
    // The reader's side of the queue: waits for room unless stopping.
    void Hand(std::vector<std::uint8_t> bytes);
    void Finish(bool gone);
    bool DeviceUnplugged() const;

    ComPort& port_;
    std::int32_t device_;
    BytesHandler onBytes_;
    GoneHandler onGone_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<std::uint8_t>> queue_;
    std::size_t queued_ = 0;
    bool finished_ = false, gone_ = false;
    std::thread thread_, deliverer_;
};

}  // namespace tesmo::sim
