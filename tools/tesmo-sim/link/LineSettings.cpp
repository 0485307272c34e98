#include "link/LineSettings.h"

#include <cstdio>

namespace tesmo::sim {

std::string LineSettings::Text() const
{
    char text[48];
    std::snprintf(text, sizeof text, "%u %u%c%s", baudRate, dataBits, parity,
                  stopBits == 15  ? "1.5"
                  : stopBits == 2 ? "2"
                                  : "1");
    return text;
}

std::optional<LineSettings> ParseLineSettings(const std::string& text)
{
    LineSettings settings;
    unsigned baud = 0, bits = 0;
    char parity = 0;
    char stop[8] = "";
    if (std::sscanf(text.c_str(), "%u %1u%c%7s", &baud, &bits, &parity, stop) != 4) return std::nullopt;
    std::string stopText = stop;
    if (baud == 0 || bits < 5 || bits > 8 || std::string("NOEMS").find(parity) == std::string::npos)
        return std::nullopt;
    if (stopText != "1" && stopText != "2" && stopText != "1.5") return std::nullopt;
    settings.baudRate = baud;
    settings.dataBits = static_cast<std::uint8_t>(bits);
    settings.parity = parity;
    settings.stopBits = stopText == "1.5" ? 15 : stopText == "2" ? 2 : 1;
    return settings;
}

std::chrono::nanoseconds LineTime(const LineSettings& settings, std::size_t bytes)
{
    if (settings.baudRate == 0) return std::chrono::nanoseconds(0);
    // In half bits, for one and a half stop bits.
    std::uint64_t halfBits = 2 * (1 + std::uint64_t{settings.dataBits} + (settings.parity == 'N' ? 0 : 1)) +
                             (settings.stopBits == 15 ? 3 : 2 * std::uint64_t{settings.stopBits});
    return std::chrono::nanoseconds(halfBits * bytes * 1'000'000'000 / 2 / settings.baudRate);
}

}  // namespace tesmo::sim
