// What the emulation knows about device objects beyond the platform's
// structures: the identity a bus gives its physical device objects (used by
// registry keys and device-interface links), the stack a device belongs to,
// and how many handles are open on it.
//
// PASSIVE_LEVEL; thread-safe.
#pragma once

#include <string>

struct _DEVICE_OBJECT;

namespace emu {

// A bus names each PDO it creates, e.g. u"USB\\VID_1234&PID_5678\\5&1A2B3C&0&1".
void SetDeviceInstancePath(_DEVICE_OBJECT* pdo, const std::u16string& instancePath);
// The instance path of the stack's PDO; empty when the bus set none.
std::u16string DeviceInstancePath(_DEVICE_OBJECT* device);
// The bottom of the device's stack.
_DEVICE_OBJECT* PhysicalDeviceOf(_DEVICE_OBJECT* device);
// The top of the device's stack, where requests for it are sent.
_DEVICE_OBJECT* TopOfStack(_DEVICE_OBJECT* device);
// The name given to IoCreateDevice, or empty.
std::u16string DeviceName(_DEVICE_OBJECT* device);

}  // namespace emu
