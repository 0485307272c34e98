// Win32 names of devices to NT names, as the platform's path conversion does
// for the forms a serial-port program uses:
//   \\.\COM3  ->  \??\COM3     (the Win32 device namespace)
//   \\?\COM3  ->  \??\COM3     (taken as it is)
//   COM3, com3:  ->  \??\COM3  (the reserved DOS device names COM1-9, LPT1-9,
//                               CON, PRN, AUX, NUL)
// Anything else names a file of a file system, which the emulation does not
// have: nothing is returned.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tesmo::win32 {

std::optional<std::u16string> NtNameFromWin32(std::u16string_view path);

}  // namespace tesmo::win32
