// The object namespace of one emulated system: named device objects and
// symbolic links, and the lookup that turns a name such as \??\COM3 into the
// device it leads to. Private to the emulation; the exported routines
// (IoCreateSymbolicLink, IoCreateDevice with a name, ...) and the inspection
// API in emu/Namespace.h sit on top of it.
//
// Names are compared without regard to case. \DosDevices\ and \GLOBAL??\ are
// the same directory as \?? (the emulation has one session, so the per-session
// and the global DOS device directories coincide). Objects live only in the
// directories the emulation knows: the root, \Device and \??.
//
// Thread-safe: one internal mutex, never held while calling out. Callable at
// any IRQL; the exported routines check that their callers are at
// PASSIVE_LEVEL.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emu_ntddk.h"

namespace emu::detail {

class ObjectNamespace {
public:
    // Where a name leads once every symbolic link on the way is followed.
    struct Resolution {
        NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
        PDEVICE_OBJECT device = nullptr;  // referenced (ObReferenceObject) on success
        std::u16string remainder;         // path below the device, e.g. u"\\sub" for \Device\X\sub
    };

    struct LinkEntry {
        std::u16string name;    // as created, canonical directory
        std::u16string target;  // as given
    };

    // Registers a device object's name. STATUS_OBJECT_NAME_COLLISION when a
    // device or link already has it, STATUS_OBJECT_NAME_INVALID for a name
    // that is not an absolute path, STATUS_OBJECT_PATH_NOT_FOUND for a
    // directory the emulation does not know.
    NTSTATUS InsertDevice(std::u16string_view name, PDEVICE_OBJECT device);
    // Removes the name of a device (no-op when it has none).
    void RemoveDevice(PDEVICE_OBJECT device);

    NTSTATUS CreateLink(std::u16string_view link, std::u16string_view target);
    NTSTATUS DeleteLink(std::u16string_view link);
    std::optional<std::u16string> LinkTarget(std::u16string_view link) const;
    std::vector<LinkEntry> Links() const;

    // Follows links (at most kMaxReparse of them) to a named device and
    // references it. A name below a device (\Device\X\rest) resolves to the
    // device with the rest as remainder, as a device's parse routine would.
    Resolution Resolve(std::u16string_view name) const;

    // Reports every link still present as a handle leak and forgets it.
    void ReportLeakedLinks();

    // \DosDevices\X and \GLOBAL??\X become \??\X; everything else is kept.
    static std::u16string Canonical(std::u16string_view name);

    static constexpr int kMaxReparse = 32;

private:
    struct Entry {
        std::u16string name;        // canonical spelling as created
        PDEVICE_OBJECT device = nullptr;
        std::u16string linkTarget;  // when not a device
        std::size_t order = 0;      // creation order, for listings
    };

    static std::u16string Key(std::u16string_view canonicalName);
    static NTSTATUS CheckPlace(std::u16string_view canonicalName);

    mutable std::mutex mutex_;
    std::map<std::u16string, Entry> entries_;  // by upper-case canonical name
    std::size_t nextOrder_ = 0;
};

// Text for messages: UTF-16 narrowed, non-ASCII as '?'.
std::string Narrow(std::u16string_view text);
// The text of a counted string (empty for null).
std::u16string ToU16(const UNICODE_STRING* text);

}  // namespace emu::detail
