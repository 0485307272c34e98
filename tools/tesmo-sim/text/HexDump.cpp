#include "text/HexDump.h"

#include <cstdio>

namespace tesmo::sim {

namespace {

constexpr std::size_t kRow = 16;
constexpr std::int64_t kTicksPerSecond = 10'000'000;

}  // namespace

std::string HexDump(Direction direction, const std::string& port, std::int64_t time,
                    std::span<const std::uint8_t> bytes)
{
    char line[128];
    std::snprintf(line, sizeof line, "%c [%5lld.%06lld s] %zu byte%s %s %s\n",
                  direction == Direction::ToPort ? '>' : '<', static_cast<long long>(time / kTicksPerSecond),
                  static_cast<long long>(time % kTicksPerSecond / 10), bytes.size(), bytes.size() == 1 ? "" : "s",
                  direction == Direction::ToPort ? "to" : "from", port.c_str());
    std::string text = line;
    for (std::size_t at = 0; at < bytes.size(); at += kRow) {
        std::string hex, chars;
        for (std::size_t k = at; k < at + kRow; ++k) {
            if (k < bytes.size()) {
                char digits[4];
                std::snprintf(digits, sizeof digits, " %02x", bytes[k]);
                hex += digits;
                chars += bytes[k] >= 0x20 && bytes[k] < 0x7F ? static_cast<char>(bytes[k]) : '.';
            } else {
                hex += "   ";
            }
        }
        text += hex + "  " + chars + "\n";
    }
    return text;
}

}  // namespace tesmo::sim
