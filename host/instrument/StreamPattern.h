// The bytes a streaming source sends, as a function of their position in the
// stream, so that a reader can check that every byte arrived in order,
// without loss or duplication.
//
// Immutable after construction: any thread, no locks.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace emu::usb {

class StreamPattern {
public:
    // Each aligned group of four bytes holds its own group number as a 32-bit
    // little-endian counter. Unlike a plain byte counter, which repeats every
    // 256 bytes, a lost or repeated run of whole packets changes the value.
    static StreamPattern Counter();
    // The given bytes over and over (at least one byte).
    static StreamPattern Repeating(std::vector<std::uint8_t> bytes);

    std::uint8_t At(std::uint64_t position) const;
    // The `count` bytes from `position` on.
    std::vector<std::uint8_t> Slice(std::uint64_t position, std::size_t count) const;
    // Writes the bytes from `position` on into `out` (the counter a word at a time).
    void Fill(std::uint64_t position, std::span<std::uint8_t> out) const;
    // Where `received` (which should start at stream position `position`)
    // first departs from the pattern, as an offset into `received`.
    std::optional<std::size_t> FirstMismatch(std::uint64_t position, std::span<const std::uint8_t> received) const;

private:
    explicit StreamPattern(std::vector<std::uint8_t> repeating) : repeating_(std::move(repeating)) {}
    std::vector<std::uint8_t> repeating_;  // empty: the counter
};

}  // namespace emu::usb
