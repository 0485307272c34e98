// The bus's bandwidth in the optional timing model: each (micro)frame carries
// at most a fixed number of bulk packets (19 at full speed in a 1 ms frame,
// 13 at high speed in a 125 us microframe), shared by every bulk endpoint of
// the devices on the bus that run at that speed. A packet takes the first
// frame, from the one it became available in, that still has room; a
// transfer completes at the end of the frame that carried its last packet.
//
// Thread-safe (its own lock, taken after a device's mutex and never held
// while calling out).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "emu/Clock.h"
#include "usb/Descriptors.h"

namespace emu::usb::detail {

emu::Time FrameLength(Speed speed);
std::size_t PacketsPerFrame(Speed speed);

class FrameSchedule {
public:
    // Books `packets` (at least one) that became available at `now`; returns
    // the end of the frame that carries the last of them.
    emu::Time Book(Speed speed, emu::Time now, std::uint64_t packets);

private:
    struct Lane {
        std::int64_t frame = -1;  // the latest frame with booked packets
        std::uint64_t used = 0;   // packets booked in it
    };
    std::mutex mutex_;
    std::array<Lane, 2> lanes_;  // by speed
};

}  // namespace emu::usb::detail
