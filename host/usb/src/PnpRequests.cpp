// What the bus driver answers for its PDO besides URBs: the Plug and Play
// requests a bus driver owns, system control, and (for now) power.
#include <cstdio>
#include <cstring>

#include "DeviceInternals.h"
#include "emu/System.h"
#include "emu/Pool.h"
#include "usb/UsbDevice.h"

namespace emu::usb {

using detail::Completions;

namespace {

constexpr ULONG kBusTag = emu::TagFromText("UsbP");

std::u16string Text(const char* format, unsigned a, unsigned b = 0, unsigned c = 0)
{
    char text[96];
    std::snprintf(text, sizeof text, format, a, b, c);
    return std::u16string(text, text + std::strlen(text));
}

// A pool block holding the strings one after the other, each with its
// terminator; a multi-sz list ends with one more.
PWSTR PoolStrings(const std::vector<std::u16string>& strings, bool multi)
{
    std::size_t chars = multi ? 1 : 0;
    for (const auto& s : strings) chars += s.size() + 1;
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kBusTag));
    if (!buffer) return nullptr;
    PWSTR out = buffer;
    for (const auto& s : strings) {
        std::memcpy(out, s.data(), s.size() * sizeof(WCHAR));
        out += s.size();
        *out++ = 0;
    }
    if (multi) *out = 0;
    return buffer;
}

}  // namespace

void UsbDevice::FailPnp(UCHAR minor, NTSTATUS status)
{
    std::lock_guard lock(mutex_);
    if (NT_SUCCESS(status)) {
        pnpFailures_.erase(minor);
    } else {
        pnpFailures_[minor] = status;
    }
}

NTSTATUS UsbDevice::DispatchPnp(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = sp->MinorFunction;
    PnpRecord record{minor, irp->IoStatus.Status, irp->IoStatus.Information, 0};
    // What the bus does not handle it completes with the status it found.
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    bool handled = true;
    bool removeUnplugged = false;
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: {
        std::lock_guard lock(mutex_);
        auto failure = pnpFailures_.find(minor);
        status = failure == pnpFailures_.end() ? STATUS_SUCCESS : failure->second;
        break;
    }
    case IRP_MN_REMOVE_DEVICE: {
        Completions done;
        std::lock_guard lock(mutex_);
        CloseConfiguration(done);
        removeUnplugged = gone_;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        NTSTATUS failure = STATUS_SUCCESS;
        {
            std::lock_guard lock(mutex_);
            auto found = pnpFailures_.find(minor);
            if (found != pnpFailures_.end()) failure = found->second;
        }
        status = NT_SUCCESS(failure) ? AnswerCapabilities(sp->Parameters.DeviceCapabilities.Capabilities) : failure;
        break;
    }
    case IRP_MN_QUERY_ID:
        status = AnswerId(sp->Parameters.QueryId.IdType, information);
        handled = status != STATUS_PENDING;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        handled = sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation;
        if (handled) status = AnswerTargetRelation(sp->DeviceObject, information);
        break;
    default:
        handled = false;
        break;
    }
    if (handled) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    } else if (record.statusOnArrival != STATUS_NOT_SUPPORTED) {
        // Nobody below or above handles this request: a driver on the way
        // changed its status without handling it.
        emu::System::Current().verifier().Report(
            emu::Rule::UnhandledIrpStatusChanged, irp,
            "PnP request (minor " + std::to_string(minor) + ") reached the bus with status " +
                std::to_string(static_cast<std::uint32_t>(record.statusOnArrival)) +
                " instead of STATUS_NOT_SUPPORTED: a driver changed it without handling it");
    }
    status = irp->IoStatus.Status;
    record.completedWith = status;
    {
        std::lock_guard lock(mutex_);
        pnpLog_.push_back(record);
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (removeUnplugged) {
        // The device is gone for good. A function driver still attached
        // detaches after passing the removal down; its PDO goes then.
        bool attached;
        {
            std::lock_guard lock(mutex_);
            attached = pdo_->AttachedDevice != nullptr;
            pdoDeletePending_ = attached;
        }
        if (!attached) DeletePdo();
    }
    emu::NotifyStateChanged();
    return status;
}

NTSTATUS UsbDevice::AnswerCapabilities(PDEVICE_CAPABILITIES caps) const
{
    if (!caps || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) return STATUS_UNSUCCESSFUL;
    const CapabilitiesConfig& c = config_.capabilities;
    if (!NT_SUCCESS(c.failWith)) return c.failWith;
    const bool remoteWakeup = model_->remoteWakeup();
    const DEVICE_POWER_STATE deviceWake =
        c.deviceWake.value_or(remoteWakeup ? PowerDeviceD2 : PowerDeviceUnspecified);
    const SYSTEM_POWER_STATE systemWake =
        c.systemWake.value_or(remoteWakeup ? PowerSystemSleeping3 : PowerSystemUnspecified);
    bool d1 = false, d2 = false;
    for (std::size_t i = 0; i < c.deviceState.size(); ++i) {
        caps->DeviceState[i] = c.deviceState[i];
        d1 = d1 || c.deviceState[i] == PowerDeviceD1;
        d2 = d2 || c.deviceState[i] == PowerDeviceD2;
    }
    caps->DeviceD1 = d1 || deviceWake == PowerDeviceD1;
    caps->DeviceD2 = d2 || deviceWake == PowerDeviceD2;
    caps->SystemWake = systemWake;
    caps->DeviceWake = deviceWake;
    caps->WakeFromD0 = deviceWake >= PowerDeviceD0;
    caps->WakeFromD1 = deviceWake >= PowerDeviceD1;
    caps->WakeFromD2 = deviceWake >= PowerDeviceD2;
    caps->WakeFromD3 = deviceWake >= PowerDeviceD3;
    caps->Removable = 1;
    caps->UniqueID = 0;  // the device has no serial number
    caps->Address = port_;
    caps->UINumber = port_;
    if (c.surpriseRemovalOk) caps->SurpriseRemovalOK = *c.surpriseRemovalOk ? 1 : 0;
    return STATUS_SUCCESS;
}

// STATUS_PENDING: not an ID this bus reports; the request keeps its status.
NTSTATUS UsbDevice::AnswerId(BUS_QUERY_ID_TYPE type, ULONG_PTR& information) const
{
    const USB_DEVICE_DESCRIPTOR& d = config_.descriptors.device;
    const std::u16string deviceId = Text("USB\\VID_%04X&PID_%04X", d.idVendor, d.idProduct);
    std::vector<std::u16string> strings;
    bool multi = false;
    switch (type) {
    case BusQueryDeviceID:
        strings = {deviceId};
        break;
    case BusQueryHardwareIDs:
        strings = {deviceId + Text("&REV_%04X", d.bcdDevice), deviceId};
        multi = true;
        break;
    case BusQueryCompatibleIDs: {
        unsigned cls = d.bDeviceClass, sub = d.bDeviceSubClass, prot = d.bDeviceProtocol;
        if (cls == 0 && !model_->interfaces.empty()) {
            const detail::InterfaceModel& first = model_->interfaces.front();
            cls = first.interfaceClass;
            sub = first.interfaceSubClass;
            prot = first.interfaceProtocol;
        }
        strings = {Text("USB\\Class_%02x&SubClass_%02x&Prot_%02x", cls, sub, prot),
                   Text("USB\\Class_%02x&SubClass_%02x", cls, sub), Text("USB\\Class_%02x", cls)};
        multi = true;
        break;
    }
    case BusQueryInstanceID: {
        std::u16string path = InstancePath();
        strings = {path.substr(path.rfind(u'\\') + 1)};
        break;
    }
    default:
        return STATUS_PENDING;
    }
    PWSTR buffer = PoolStrings(strings, multi);
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    information = reinterpret_cast<ULONG_PTR>(buffer);
    return STATUS_SUCCESS;
}

NTSTATUS UsbDevice::AnswerTargetRelation(PDEVICE_OBJECT pdo, ULONG_PTR& information) const
{
    auto* relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kBusTag));
    if (!relations) return STATUS_INSUFFICIENT_RESOURCES;
    relations->Count = 1;
    relations->Objects[0] = pdo;
    ObReferenceObject(pdo);  // the receiver dereferences it
    information = reinterpret_cast<ULONG_PTR>(relations);
    return STATUS_SUCCESS;
}

NTSTATUS UsbDevice::DispatchSystemControl(PIRP irp)
{
    // No WMI provider: the request completes as it came.
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace emu::usb
