#include "instrument/StreamPattern.h"

#include <cstring>

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
    Fill(position, bytes);
    return bytes;
}

void StreamPattern::Fill(std::uint64_t position, std::span<std::uint8_t> out) const
{
    std::size_t i = 0;
    if (!repeating_.empty()) {
        const std::size_t period = repeating_.size();
        std::size_t phase = position % period;
        while (i < out.size()) {
            const std::size_t run = std::min(period - phase, out.size() - i);
            std::memcpy(out.data() + i, repeating_.data() + phase, run);
            i += run;
            phase = 0;
        }
        return;
    }
    // Up to the next group boundary byte by byte, then whole groups.
    for (; i < out.size() && (position + i) % 4 != 0; ++i) out[i] = At(position + i);
    auto group = static_cast<std::uint32_t>((position + i) / 4);
    for (; i + 4 <= out.size(); i += 4, ++group) {
        // Little-endian whatever the host: the compiler makes this one store.
        out[i] = static_cast<std::uint8_t>(group);
        out[i + 1] = static_cast<std::uint8_t>(group >> 8);
        out[i + 2] = static_cast<std::uint8_t>(group >> 16);
        out[i + 3] = static_cast<std::uint8_t>(group >> 24);
    }
    for (; i < out.size(); ++i) out[i] = At(position + i);
}

std::optional<std::size_t> StreamPattern::FirstMismatch(std::uint64_t position,
                                                        std::span<const std::uint8_t> received) const
{
    for (std::size_t i = 0; i < received.size(); ++i)
        if (received[i] != At(position + i)) return i;
    return std::nullopt;
}

}  // namespace emu::usb
