#include "link/LineSettings.h"

#include <cstdio>

namespace tesmo::sim {

std::string LineSettings::Text() const
{
    char text[48];
    std::snprintf(text, sizeof text, "%u %u%c%s", baudRate, dataBits, parity,
                  stopBits == 15 ? "1.5" : stopBits == 2 ? "2" : "1");
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
    if (baud == 0 || bits < 5 || bits > 8 || std::string("NOEMS").find(parity) == std::string::npos) return std::nullopt;
    if (stopText != "1" && stopText != "2" && stopText != "1.5") return std::nullopt;
    settings.baudRate = baud;
    settings.dataBits = static_cast<std::uint8_t>(bits);
    settings.parity = parity;
    settings.stopBits = stopText == "1.5" ? 15 : stopText == "2" ? 2 : 1;
    return settings;
}

}  // namespace tesmo::sim
