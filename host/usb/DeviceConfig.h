// How a simulated USB device is set up when it is plugged in: its
// descriptors, what its bus driver reports for it (capabilities, port status,
// identity), the optional timing model, and injected request failures.
//
// Plain values; no locking.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "emu_ntddk.h"
#include "usb/Descriptors.h"

namespace emu::usb {

// What IRP_MN_QUERY_CAPABILITIES reports for the PDO.
struct CapabilitiesConfig {
    std::array<DEVICE_POWER_STATE, POWER_SYSTEM_MAXIMUM> deviceState{
        PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3,
        PowerDeviceD3,          PowerDeviceD3, PowerDeviceD3};
    // Unset: from the configuration's remote-wakeup attribute (S3 and D2
    // when the device can wake the system, unspecified otherwise).
    std::optional<SYSTEM_POWER_STATE> systemWake;
    std::optional<DEVICE_POWER_STATE> deviceWake;
    // Set: the bus writes SurpriseRemovalOK; unset: it leaves what came down.
    std::optional<bool> surpriseRemovalOk;
    // A failure status makes the query fail with it.
    NTSTATUS failWith = STATUS_SUCCESS;
};

// A URB the bus fails instead of carrying out.
struct UrbFailure {
    USHORT function = 0;
    std::optional<UCHAR> descriptorType;  // GET_DESCRIPTOR_FROM_DEVICE: only this type
    USBD_STATUS usbdStatus = USBD_STATUS_STALL_PID;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    unsigned occurrence = 0;  // 0: every matching request; n: only the nth one
};

struct DeviceConfig {
    DescriptorSet descriptors = descriptors::StandardInstrument();
    CapabilitiesConfig capabilities;
    ULONG portStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
    // The last element of the instance path; empty: the port number.
    std::u16string instanceId;
    // Bulk transfers complete at the end of the frame of the emulated clock
    // (1 ms at full speed, 125 us at high speed) that carries their last
    // packet instead of at once; a frame carries at most 19 (full speed) or
    // 13 (high speed) bulk packets, shared by the bus's bulk endpoints.
    bool frameTiming = false;
    // The IRQL at which the bus thread completes set and query power requests:
    // DISPATCH_LEVEL as a hub's completion does, or PASSIVE_LEVEL for a bus
    // that finishes them from a worker of its own.
    KIRQL powerCompletionIrql = DISPATCH_LEVEL;
};

}  // namespace emu::usb
