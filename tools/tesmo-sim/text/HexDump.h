// The bytes that go to and come from a port, as `socat -x -v` shows a
// line's: each transfer a header with its direction ('>' to the port, '<'
// from it), its emulated time and its size, then rows of sixteen bytes in
// hex beside their characters ('.' for what does not print). Pure.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tesmo::sim {

enum class Direction { ToPort, FromPort };

// One transfer's text; `time` in the emulated clock's 100-ns units.
std::string HexDump(Direction direction, const std::string& port, std::int64_t time,
                    std::span<const std::uint8_t> bytes);

}  // namespace tesmo::sim
