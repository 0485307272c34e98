#include "instrument/CommandText.h"

namespace emu::usb {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

std::string CommandHeader(std::string_view command)
{
    command = TrimBlanks(command);
    std::string header;
    for (char c : command) {
        if (IsBlank(c)) break;
        header.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    return header;
}

}  // namespace emu::usb
