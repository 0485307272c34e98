// The system's table of device interfaces. Private to the emulation.
//
// Thread-safe (one mutex, held only while the table is read or changed).
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emu/DeviceInterfaces.h"

namespace emu::detail {

class DeviceInterfaceTable {
public:
    struct Entry {
        std::u16string instancePath;
        DeviceInterface interface;
    };

    // The link name of the registration, made now if it did not exist.
    std::u16string Register(const std::u16string& instancePath, const GUID& interfaceClass,
                            const std::u16string& referenceString);
    // STATUS_SUCCESS, STATUS_OBJECT_NAME_EXISTS (enable when enabled) or
    // STATUS_OBJECT_NAME_NOT_FOUND (unknown link, or disable when disabled).
    NTSTATUS SetState(const std::u16string& linkName, bool enable);

    std::vector<DeviceInterface> OfInstance(const std::u16string& instancePath);
    std::vector<DeviceInterface> OfClass(const GUID& interfaceClass);
    std::optional<DeviceInterface> ByLink(const std::u16string& linkName);

private:
    Entry* Find(const std::u16string& linkName);  // mutex held

    std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace emu::detail
