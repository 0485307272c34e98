#include "instrument/StreamPattern.h"

#include "instrument/Misuse.h"

namespace emu::usb {

StreamPattern StreamPattern::Counter() { return StreamPattern({}); }

StreamPattern StreamPattern::Repeating(std::vector<std::uint8_t> bytes)
{
    if (bytes.empty()) {
        ReportInstrumentMisuse("a repeating stream pattern needs at least one byte; using the counter");
    }
    return StreamPattern(std::move(bytes));
}

std::uint8_t StreamPattern::At(std::uint64_t position) const
{
    if (!repeating_.empty()) return repeating_[position % repeating_.size()];
    auto group = static_cast<std::uint32_t>(position / 4);
    return static_cast<std::uint8_t>(group >> (8 * (position % 4)));
}

std::vector<std::uint8_t> StreamPattern::Slice(std::uint64_t position, std::size_t count) const
{
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = At(position + i);
    return bytes;
}

std::optional<std::size_t> StreamPattern::FirstMismatch(std::uint64_t position,
                                                        std::span<const std::uint8_t> received) const
{
    for (std::size_t i = 0; i < received.size(); ++i)
        if (received[i] != At(position + i)) return i;
    return std::nullopt;
}

}  // namespace emu::usb
