// The serial line settings a client asks for (baud rate and frame), and
// their text ("9600 8N1"), shared by the bridges, the terminal and scenario
// files.
#pragma once

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

// "19200 7E2", "9600 8N1.5"; nothing for anything else.
std::optional<LineSettings> ParseLineSettings(const std::string& text);

}  // namespace tesmo::sim
