// Hexadecimal renderings for the emulation's messages: numbers as the
// platform writes statuses and codes, and runs of bytes as a dump.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace emu {

// "0x" and at least `digits` lower-case hexadecimal digits: 0x103, 0x0009.
inline std::string HexNumber(std::uint64_t value, int digits = 1)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

// Two digits a byte, separated by spaces: "0d 0a" ("" for no bytes).
inline std::string HexBytes(std::span<const std::uint8_t> bytes)
{
    std::string text;
    for (std::uint8_t byte : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        if (!text.empty()) text += ' ';
        text += pair;
    }
    return text;
}

}  // namespace emu
