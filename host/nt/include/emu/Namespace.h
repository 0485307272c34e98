// What tests and tools can see of the emulated object namespace: the symbolic
// links that exist (\??\COM3 -> \Device\Tesmo1, ...) and where a name leads.
// \DosDevices\X and \??\X are the same name; names compare without case.
//
// Thread-safe; callable from any thread while a system exists.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _DEVICE_OBJECT;

namespace emu {

struct SymbolicLinkInfo {
    std::u16string name;    // with the directory spelled \??, e.g. u"\\??\\COM3"
    std::u16string target;  // as the creator gave it
};

// The links that exist now, oldest first.
std::vector<SymbolicLinkInfo> SymbolicLinks();
// The target of one link; nothing when no such link exists.
std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link);
// The device a name leads to after following links, or null. The pointer is
// not referenced: use it only while the device is known to exist.
_DEVICE_OBJECT* LookUpDevice(std::u16string_view name);

}  // namespace emu
