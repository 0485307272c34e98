// Inspection of device interfaces: what a driver registered with
// IoRegisterDeviceInterface for a device, under which link name, and whether
// it is enabled. The registrations belong to the device's instance path, so
// they outlive the device object as they outlive it on the platform (a device
// plugged in again gets the same names).
//
// PASSIVE_LEVEL; thread-safe; acts on the current system.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "emu_ntdef.h"

struct _DEVICE_OBJECT;

namespace emu {

struct DeviceInterface {
    GUID interfaceClass;
    std::u16string referenceString;  // empty when registered without one
    std::u16string linkName;         // e.g. \??\USB#VID_1234&PID_5678#5&1a2b&0&1#{7e5d8da7-...}
    bool enabled;
};

// The interfaces registered for the device's stack (its PDO's instance path),
// in registration order.
std::vector<DeviceInterface> DeviceInterfacesOf(_DEVICE_OBJECT* device);
// Every registered interface of a class, enabled or not, in registration order.
std::vector<DeviceInterface> DeviceInterfacesOfClass(const GUID& interfaceClass);
// The interface with this link name (compared without regard to case).
std::optional<DeviceInterface> DeviceInterfaceByLink(const std::u16string& linkName);

// The platform's text form of a GUID: lower-case hex in braces.
std::u16string GuidText(const GUID& guid);

}  // namespace emu
