#include "FrameSchedule.h"

#include <algorithm>

namespace emu::usb::detail {

emu::Time FrameLength(Speed speed) { return speed == Speed::High ? 125 * emu::kMicrosecond : emu::kMillisecond; }

std::size_t PacketsPerFrame(Speed speed) { return speed == Speed::High ? 13 : 19; }

emu::Time FrameSchedule::Book(Speed speed, emu::Time now, std::uint64_t packets)
{
    const emu::Time length = FrameLength(speed);
    const std::uint64_t room = PacketsPerFrame(speed);
    packets = std::max<std::uint64_t>(packets, 1);
    std::lock_guard lock(mutex_);
    Lane& lane = lanes_[speed == Speed::High ? 1 : 0];
    const std::int64_t current = now / length;
    if (lane.frame < current) {
        lane.frame = current;  // the frames in between went by unused
        lane.used = 0;
    }
    lane.used += packets;
    const std::uint64_t spill = (lane.used - 1) / room;  // whole frames beyond the lane's frame
    lane.frame += static_cast<std::int64_t>(spill);
    lane.used -= spill * room;
    return (lane.frame + 1) * length;
}

}  // namespace emu::usb::detail
