// The device record's guard contract as data, from the field comments of
// include/DeviceExtension.h and the units that use each field.
#include "DriverGuards.h"

#include <cstddef>

#include "DeviceExtension.h"
#include "SerialSettings.h"

namespace tesmo {

namespace {

using emu::Guard;
using emu::GuardedField;

#define TESMO_FIELD(name) #name, offsetof(DEVICE_EXTENSION, name), sizeof(DEVICE_EXTENSION::name)

// Why the fields without a lock of their own are sound.
constexpr char kAddDevice[] = "set by AddDevice before the device object is published, read only after";
constexpr char kPnpHandlers[] =
    "written by the PnP handlers, which the PnP manager runs one at a time; the data path reads it only "
    "while the gate admits requests, which those handlers close first";
constexpr char kPowerPath[] =
    "written by the power path, which the power manager runs one request at a time per device, and by "
    "its completion routines, which that request's own dispatch hands over to";

}  // namespace

// A pointer field's size is the pointer's, which is what the table wants.
// NOLINTBEGIN(bugprone-sizeof-expression)
std::vector<GuardedField> DeviceRecordGuards()
{
    return {
        // identity and the device stack
        {TESMO_FIELD(Signature), Guard::Ordered, nullptr, kAddDevice},
        {TESMO_FIELD(ExtensionStamp), Guard::Ordered, nullptr, kAddDevice},
        {TESMO_FIELD(FunctionalDeviceObject), Guard::Ordered, nullptr, kAddDevice},
        {TESMO_FIELD(LowerDeviceObject), Guard::Ordered, nullptr, kAddDevice},
        {TESMO_FIELD(PhysicalDeviceObject), Guard::Ordered, nullptr, kAddDevice},
        // request admission and queueing
        {TESMO_FIELD(RemoveLock), Guard::Opaque},
        {TESMO_FIELD(RemoveLockCount), Guard::Interlocked},
        {TESMO_FIELD(QueueState), Guard::Interlocked},
        {TESMO_FIELD(CancelSafeQueue), Guard::Opaque},
        {TESMO_FIELD(PendingIrpList), Guard::Lock, "QueueLock"},
        {TESMO_FIELD(QueuedIrpCount), Guard::Lock, "QueueLock"},
        {TESMO_FIELD(QueueLock), Guard::Opaque},
        {TESMO_FIELD(NoPendingUsbTranfers), Guard::Opaque},
        {TESMO_FIELD(OutstandingIo), Guard::Interlocked},
        // Plug and Play and power
        {TESMO_FIELD(PnpState), Guard::Interlocked},
        {TESMO_FIELD(PreviousPnpState), Guard::Ordered, nullptr, kPnpHandlers},
        {TESMO_FIELD(DeviceStateMap), Guard::Ordered, nullptr, kPnpHandlers},
        {TESMO_FIELD(SystemPowerState), Guard::Interlocked},
        {TESMO_FIELD(PendingSystemPowerIrp), Guard::Ordered, nullptr, kPowerPath},
        {TESMO_FIELD(DevicePowerState), Guard::Interlocked},
        {TESMO_FIELD(WorkItem), Guard::Ordered, nullptr, kAddDevice},
        {TESMO_FIELD(WaitWakeEnabled), Guard::Ordered, nullptr, kPnpHandlers},
        // data path
        {TESMO_FIELD(StaticBuffer), Guard::Interlocked},
        {TESMO_FIELD(StaticBufferBytes), Guard::Owner, "StaticBuffer"},
        {TESMO_FIELD(StaticBufferOffset), Guard::Owner, "StaticBuffer"},
        {TESMO_FIELD(StaticBufferEvent), Guard::Opaque},
        {TESMO_FIELD(WaitWakeIrp), Guard::Interlocked},
        {TESMO_FIELD(WaitWakeCancelFlag), Guard::Interlocked},
        // USB configuration: written at start, read by the data path
        {TESMO_FIELD(DeviceDescriptor), Guard::Ordered, nullptr, kPnpHandlers},
        {TESMO_FIELD(ConfigurationDescriptor), Guard::Lock, "DescriptorLock", nullptr, Guard::Lock, "DescriptorLock"},
        {TESMO_FIELD(ConfigurationHandle), Guard::Ordered, nullptr, kPnpHandlers},
        {TESMO_FIELD(InterfaceInfo), Guard::Ordered, nullptr, kPnpHandlers, Guard::Ordered},
        {TESMO_FIELD(InPipeHandle), Guard::Ordered, nullptr, kPnpHandlers},
        {TESMO_FIELD(OutPipeHandle), Guard::Ordered, nullptr, kPnpHandlers},
        {TESMO_FIELD(InMaxPacketSize), Guard::Ordered, nullptr, kPnpHandlers},
        {TESMO_FIELD(OutMaxPacketSize), Guard::Ordered, nullptr, kPnpHandlers},
        {TESMO_FIELD(ReadIntervalTimeout), Guard::Interlocked},
        {TESMO_FIELD(ReadTotalTimeoutConstant), Guard::Interlocked},
        {TESMO_FIELD(ReadTotalTimeoutMultiplier), Guard::Interlocked},
        // names and links
        {TESMO_FIELD(DeviceName), Guard::Ordered, nullptr, kAddDevice},
        {TESMO_FIELD(SymbolicLinkName), Guard::Ordered, nullptr, kPnpHandlers},
        {TESMO_FIELD(InterfaceLinkName), Guard::Ordered, nullptr, kPnpHandlers},
        // event log: each entry is written by the writer that took its index
        {TESMO_FIELD(LogIndex), Guard::Interlocked},
        {TESMO_FIELD(LogSize), Guard::Ordered, nullptr, kAddDevice},
        {TESMO_FIELD(LogMask), Guard::Ordered, nullptr, kAddDevice},
        {TESMO_FIELD(LogEntries), Guard::Interlocked, nullptr, nullptr, Guard::Ordered},
        {TESMO_FIELD(LogWriters), Guard::Interlocked},
        // removal, restart and power
        {TESMO_FIELD(ReassemblyBlock), Guard::Ordered, nullptr,
         "set by the first configuration, cleared at removal once the request lock has drained the data path, "
         "which reads it only holding that lock",
         Guard::Owner, "StaticBuffer"},
        {TESMO_FIELD(RequestLock), Guard::Opaque},
        {TESMO_FIELD(UsbRequestLock), Guard::Opaque},
        {TESMO_FIELD(UsbRequestsInFlight), Guard::Lock, "UsbRequestLock"},
        {TESMO_FIELD(DrainWorkItem), Guard::Ordered, nullptr, kAddDevice},
        {TESMO_FIELD(DrainQueued), Guard::Interlocked},
        {TESMO_FIELD(WorkItemQueued), Guard::Interlocked},
        {TESMO_FIELD(DescriptorLock), Guard::Opaque},
        {TESMO_FIELD(ConfigurationDescriptorLength), Guard::Lock, "DescriptorLock"},
        {TESMO_FIELD(OwnWaitWakeIrp), Guard::Ordered, nullptr, kPowerPath},
        {TESMO_FIELD(WaitWakeIssuing), Guard::Interlocked},
        {TESMO_FIELD(InterfaceInfoLength), Guard::Ordered, nullptr, kPnpHandlers},
    };
}
// NOLINTEND(bugprone-sizeof-expression)

#undef TESMO_FIELD

void DescribeDriverGuards()
{
    emu::DescribeRecord("DEVICE_EXTENSION", sizeof(DEVICE_EXTENSION), DeviceRecordGuards());
    emu::DescribeGlobal("SerialSettings", sizeof(SERIAL_SETTINGS), Guard::Lock, "SerialSettingsLock");
    emu::DescribeGlobal("SerialSettingsLock", sizeof(KSPIN_LOCK), Guard::Opaque);
    emu::DescribeGlobal("DeviceInstanceCounter", sizeof(LONG), Guard::Interlocked);
}

}  // namespace tesmo
