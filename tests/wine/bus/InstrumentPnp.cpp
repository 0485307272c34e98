// The instrument's device as its bus driver presents it to the PnP manager:
// IDs, capabilities, the target relation, start and removal. A bus driver
// completes these requests itself; what it does not answer keeps the status
// it came with.
#include "KernelModeAccess.h"
#include "TestBus.h"

extern "C" {

// The IDs a USB hub reports for the instrument (vendor 7E5D, product 0007,
// release 1.50, vendor-specific class).
static const WCHAR DeviceId[] = L"USB\\VID_7E5D&PID_0007";
static const WCHAR InstanceId[] = L"1";
static const WCHAR HardwareIds[] = L"USB\\VID_7E5D&PID_0007&REV_0150\0USB\\VID_7E5D&PID_0007\0";
static const WCHAR CompatibleIds[] = L"USB\\Class_FF&SubClass_00&Prot_00\0USB\\Class_FF&SubClass_00\0USB\\Class_FF\0";
static const WCHAR Description[] = L"Tesmo test instrument";

// A copy in paged pool, which the PnP manager frees. Size in bytes, with
// every terminator (a list ends with two).
static NTSTATUS AnswerText(PIRP Irp, const WCHAR* Text, SIZE_T Size)
{
    PWCHAR Copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, Size, TESTBUS_POOL_TAG);

    if (Copy == NULL) {
        return CompleteWith(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlCopyMemory(Copy, Text, Size);
    return CompleteWith(Irp, STATUS_SUCCESS, (ULONG_PTR)Copy);
}

static NTSTATUS LeaveAsItCame(PIRP Irp)
{
    NTSTATUS Status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static NTSTATUS QueryId(PIRP Irp)
{
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        return AnswerText(Irp, DeviceId, sizeof(DeviceId));
    case BusQueryInstanceID:
        return AnswerText(Irp, InstanceId, sizeof(InstanceId));
    case BusQueryHardwareIDs:
        return AnswerText(Irp, HardwareIds, sizeof(HardwareIds));
    case BusQueryCompatibleIDs:
        // Without compatible IDs no function driver would be installed.
        return AnswerText(Irp, CompatibleIds, sizeof(CompatibleIds));
    default:
        return LeaveAsItCame(Irp);
    }
}

static NTSTATUS QueryCapabilities(PIRP Irp)
{
    PDEVICE_CAPABILITIES Capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;

    if (Capabilities->Version < 1 || Capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        return CompleteWith(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    for (ULONG Index = 0; Index < POWER_SYSTEM_MAXIMUM; Index++) {
        Capabilities->DeviceState[Index] = PowerDeviceD3;
    }
    Capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    Capabilities->SystemWake = PowerSystemUnspecified;
    Capabilities->DeviceWake = PowerDeviceUnspecified;
    Capabilities->DeviceD1 = FALSE;
    Capabilities->DeviceD2 = FALSE;
    Capabilities->LockSupported = FALSE;
    Capabilities->EjectSupported = FALSE;
    Capabilities->Removable = TRUE;
    Capabilities->DockDevice = FALSE;
    Capabilities->UniqueID = FALSE;
    Capabilities->SilentInstall = FALSE;
    Capabilities->RawDeviceOK = FALSE;
    Capabilities->SurpriseRemovalOK = TRUE;
    Capabilities->Address = 1;
    Capabilities->UINumber = 1;
    return CompleteWith(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS QueryTargetRelation(PINSTRUMENT_EXTENSION Device, PIRP Irp)
{
    PDEVICE_RELATIONS Relations;

    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
        return LeaveAsItCame(Irp);
    }
    Relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), TESTBUS_POOL_TAG);
    if (Relations == NULL) {
        return CompleteWith(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    ObReferenceObject(Device->Self);
    Relations->Count = 1;
    Relations->Objects[0] = Device->Self;
    return CompleteWith(Irp, STATUS_SUCCESS, (ULONG_PTR)Relations);
}

static NTSTATUS QueryText(PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) {
        return LeaveAsItCame(Irp);
    }
    return AnswerText(Irp, Description, sizeof(Description));
}

// The device object goes only once the bus has reported the instrument
// missing; a removal while it is still plugged in (a failed installation,
// say) leaves it for the next enumeration.
static NTSTATUS Remove(PINSTRUMENT_EXTENSION Device, PIRP Irp)
{
    InstrumentFailPendingTransfers(Device);
    TestBusTrace("instrument removed%s\n", Device->Present ? " (still plugged in)" : "");
    if (!Device->Present) {
        BusForgetChild(Device->Bus, Device->Self);
        CompleteWith(Irp, STATUS_SUCCESS, 0);
        IoDeleteDevice(Device->Self);
        return STATUS_SUCCESS;
    }
    return CompleteWith(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS InstrumentPnp(PINSTRUMENT_EXTENSION Device, PIRP Irp)
{
    KIRQL Irql;

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Irql = KeAcquireSpinLockRaiseToDpc(&Device->Lock);
        Device->Gone = Device->Present ? FALSE : TRUE;
        KeReleaseSpinLock(&Device->Lock, Irql);
        // The function driver forwards its start here before it reads its
        // device key: its imports are final by now.
        if (Device->Self->AttachedDevice != NULL) {
            // Wine admits any number of opens; the flag shows whether the
            // function driver asked for one at a time.
            TestBusTrace("function device flags 0x%x\n", (unsigned)Device->Self->AttachedDevice->Flags);
            if (!Device->Options.WineRegistryAccess) {
                GrantKernelModeRegistryAccess(Device->Self->AttachedDevice->DriverObject);
            }
        }
        CountUp(&Device->Bus->Counters.Started, 1);
        TestBusTrace("instrument started\n");
        return CompleteWith(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return CompleteWith(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_SURPRISE_REMOVAL:
        InstrumentFailPendingTransfers(Device);
        TestBusTrace("instrument surprise-removed\n");
        return CompleteWith(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_REMOVE_DEVICE:
        return Remove(Device, Irp);
    case IRP_MN_QUERY_ID:
        return QueryId(Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return QueryTargetRelation(Device, Irp);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return QueryText(Irp);
    default:
        return LeaveAsItCame(Irp);
    }
}

// No power policy of its own: every D-state and S-state is accepted.
NTSTATUS InstrumentPower(PINSTRUMENT_EXTENSION Device, PIRP Irp)
{
    UCHAR Minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS Status = Irp->IoStatus.Status;

    UNREFERENCED_PARAMETER(Device);
    if (Minor == IRP_MN_SET_POWER || Minor == IRP_MN_QUERY_POWER) {
        Status = STATUS_SUCCESS;
        Irp->IoStatus.Status = Status;
    }
    PoStartNextPowerIrp(Irp);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

}  // extern "C"
