#include "text/Printable.h"

#include <cstdio>

namespace tesmo::sim {

std::string Printable(std::string_view bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '\n') text += "\\n";
        else if (c == '\r') text += "\\r";
        else if (c == '\t') text += "\\t";
        else if (c == '\\') text += "\\\\";
        else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

}  // namespace tesmo::sim
