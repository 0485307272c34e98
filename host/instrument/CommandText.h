// Small text helpers for instruments that take command lines.
//
// Pure functions: any thread, no locks.
#pragma once

#include <string>
#include <string_view>

namespace emu::usb {

// Without leading and trailing blanks (spaces and tabs).
std::string_view TrimBlanks(std::string_view text);
// The command's header (up to the first blank), in upper case: how commands
// are matched, since instrument headers are case-insensitive.
std::string CommandHeader(std::string_view command);

}  // namespace emu::usb
