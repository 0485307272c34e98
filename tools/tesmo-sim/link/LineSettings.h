// The serial line settings a client asks for (baud rate and frame), and
// their text ("9600 8N1"), shared by the bridges, the terminal and scenario
// files.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tesmo::sim {

struct LineSettings {
    std::uint32_t baudRate = 9600;
    std::uint8_t dataBits = 8;
    char parity = 'N';          // N, O, E, M, S
    std::uint8_t stopBits = 1;  // 1, 2, or 15 for one and a half

    bool operator==(const LineSettings&) const = default;
    std::string Text() const;
};

// How long `bytes` characters take on the line: a start bit, the data
// bits, the parity bit if any and the stop bits each, at the baud rate.
std::chrono::nanoseconds LineTime(const LineSettings& settings, std::size_t bytes);

// "19200 7E2", "9600 8N1.5"; nothing for anything else.
std::optional<LineSettings> ParseLineSettings(const std::string& text);

}  // namespace tesmo::sim
