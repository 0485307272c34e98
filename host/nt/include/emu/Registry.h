// The registry of the emulated system, as the host sees it: what the Plug and
// Play side writes into a device's hardware key before the driver starts (the
// port's PortName, say), what the driver published under the device map, and
// which key handles are open. Drivers reach the same keys through
// IoOpenDeviceRegistryKey, ZwQueryValueKey, ZwSetValueKey, ZwClose,
// RtlWriteRegistryValue and RtlDeleteRegistryValue.
//
// Key and value names compare without regard to case. PASSIVE_LEVEL;
// thread-safe; acts on the current system, whose registry starts empty apart
// from the standard keys.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _DEVICE_OBJECT;

namespace emu {

struct RegistryValue {
    std::uint32_t type = 0;  // REG_SZ, REG_DWORD, ...
    std::vector<std::uint8_t> data;

    // REG_SZ: the text in 16-bit characters with its terminating zero.
    static RegistryValue String(std::u16string_view text);
    static RegistryValue Dword(std::uint32_t value);
    static RegistryValue Binary(std::vector<std::uint8_t> bytes);
    // The text of string data, up to its first zero (or its end).
    std::u16string Text() const;

    friend bool operator==(const RegistryValue&, const RegistryValue&) = default;
};

// The key of the device's hardware settings: the "Device Parameters" key under
// the instance path of the device's PDO. The device's stack must have one.
std::u16string DeviceParametersKey(_DEVICE_OBJECT* device);
void SetDeviceRegistryValue(_DEVICE_OBJECT* device, const std::u16string& name, const RegistryValue& value);
std::optional<RegistryValue> DeviceRegistryValue(_DEVICE_OBJECT* device, const std::u16string& name);
bool DeleteDeviceRegistryValue(_DEVICE_OBJECT* device, const std::u16string& name);

// The values of a key under \Registry\Machine\HARDWARE\DEVICEMAP (e.g.
// u"SERIALCOMM"), by value name as stored; empty when the key does not exist.
std::map<std::u16string, RegistryValue> DeviceMapValues(const std::u16string& key);

// Any key by its full path (\Registry\Machine\...). Setting creates the key
// and the keys above it.
void SetRegistryValue(const std::u16string& keyPath, const std::u16string& name, const RegistryValue& value);
std::optional<RegistryValue> RegistryValueAt(const std::u16string& keyPath, const std::u16string& name);

// The keys of the handles drivers have open, one entry per handle.
std::vector<std::u16string> OpenRegistryKeys();

}  // namespace emu
