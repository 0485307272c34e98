#include "link/SerialDump.h"

#include "tesmo/control.h"

namespace tesmo::sim {

void SerialDump::Show(Direction direction, std::span<const std::uint8_t> bytes)
{
    std::int64_t now = 0;
    tesmo_clock_now(&now);
    std::string text = HexDump(direction, port_, now, bytes);
    std::lock_guard lock(mutex_);
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

}  // namespace tesmo::sim
