// Plug and Play: the dispatch routine, the start that publishes the COM
// port, the stop and removal negotiations, and the capabilities query.
#include "Pnp.h"

#include "DebugPrint.h"
#include "EventLog.h"
#include "NameTables.h"
#include "Power.h"
#include "Queue.h"
#include "Tesmo.h"
#include "Usb.h"

extern "C" {

#define PORT_NAME_BUFFER_SIZE 258
#define PORT_NAME_CAPACITY 256
#define LINK_NAME_BUFFER_SIZE 258
#define LINK_NAME_CAPACITY 256
#define PORT_NAME_VALUE_LENGTH 18  // "PortName" with its terminator, in bytes
#define READ_TOTAL_TIMEOUT_CONSTANT_AT_START 120000
#define DEVICE_CAPABILITIES_VERSION 1

static NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static NTSTATUS HandleQueryStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static NTSTATUS HandleCancelStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static NTSTATUS HandleQueryRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static NTSTATUS HandleCancelRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static VOID ReleaseMemory(PDEVICE_EXTENSION DeviceExtension);
static VOID ReleaseUsbdIfcInfoList(PDEVICE_EXTENSION DeviceExtension);

static const POOL_TYPE RarelyUsedPagedPool = (POOL_TYPE)(PagedPool | POOL_COLD_ALLOCATION);

static TESMO_PAGED ULONG WideLength(PCWSTR Text)
{
    ULONG Length = 0;

    PAGED_CODE();
    while (Text[Length] != 0) {
        Length++;
    }
    return Length;
}

static TESMO_PAGED VOID ChangePnpState(PDEVICE_EXTENSION DeviceExtension, ULONG NewState, PCSTR Handler)
{
    ULONG Current;

    PAGED_CODE();
    Current = ReadSharedULong(&DeviceExtension->PnpState);
    DebugPrint(4, DBG_PNP, "Pnp.c:%s changing PnP state from %s to %s\n", Handler, PnpStateString(Current),
               PnpStateString(NewState));
    DeviceExtension->PreviousPnpState = Current;
    WriteSharedULong(&DeviceExtension->PnpState, NewState);
}

static TESMO_PAGED VOID RestorePnpState(PDEVICE_EXTENSION DeviceExtension, PCSTR Handler)
{
    PAGED_CODE();
    DebugPrint(4, DBG_PNP, "Pnp.c:%s changing PnP state from %s to %s\n", Handler,
               PnpStateString(ReadSharedULong(&DeviceExtension->PnpState)),
               PnpStateString(DeviceExtension->PreviousPnpState));
    WriteSharedULong(&DeviceExtension->PnpState, DeviceExtension->PreviousPnpState);
}

static TESMO_PAGED VOID ChangeQueueState(PDEVICE_EXTENSION DeviceExtension, ULONG NewState, PCSTR Handler)
{
    PAGED_CODE();
    DebugPrint(4, DBG_POWER, "Pnp.c:%s-changing QueueState to %s (%ld)\n", Handler, QueueStateString((LONG)NewState),
               NewState);
    SetQueueState(DeviceExtension, NewState);
}

// Passes a request down marked successful; the result is the lower drivers'.
static TESMO_PAGED NTSTATUS PassDownAsSuccessful(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    PAGED_CODE();
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
}

// Sends a request down and waits until the lower drivers have finished it;
// the caller owns it again afterwards and completes it.
static TESMO_PAGED NTSTATUS ForwardAndWait(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    KEVENT Event;
    NTSTATUS Status;

    PAGED_CODE();
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SynchCompletionRoutine, &Event, TRUE, TRUE, TRUE);
    Status = IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = Irp->IoStatus.Status;
    }
    return Status;
}

TESMO_PAGED NTSTATUS HandlePnpIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    UCHAR MinorFunction = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS Status;

    PAGED_CODE();
    DebugPrint(4, DBG_PNP, "Pnp.c: HandlePnpIrp ENTRY (0x%x = %s)\n", MinorFunction,
               PnpMinorFunctionString(MinorFunction));
    LogEvent(DeviceExtension, "Pnp>", LOG_POINTER(Irp), LOG_UNSIGNED(MinorFunction), LOG_STATE(DeviceExtension));

    Status = AcquireRemoveHold(DeviceExtension, "Pnp.c:HandlePnpIrp-");
    if (!NT_SUCCESS(Status)) {
        return CompleteRequest(Irp, Status, 0);
    }

    if (ReadSharedULong(&DeviceExtension->PnpState) == Removed) {
        Status = CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    } else {
        switch (MinorFunction) {
        case IRP_MN_START_DEVICE:
            Status = HandleStartDevice(DeviceObject, Irp);
            Irp->IoStatus.Status = Status;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            Status = HandleQueryRemoveDevice(DeviceObject, Irp);
            break;
        case IRP_MN_REMOVE_DEVICE:
            Status = HandleRemoveDevice(DeviceObject, Irp);
            break;
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            Status = HandleCancelRemoveDevice(DeviceObject, Irp);
            break;
        case IRP_MN_STOP_DEVICE:
            Status = HandleStopDevice(DeviceObject, Irp);
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
            Status = HandleQueryStopDevice(DeviceObject, Irp);
            break;
        case IRP_MN_CANCEL_STOP_DEVICE:
            Status = HandleCancelStopDevice(DeviceObject, Irp);
            break;
        case IRP_MN_QUERY_CAPABILITIES:
            Status = HandleQueryCapabilities(DeviceObject, Irp);
            Irp->IoStatus.Status = Status;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            Status = HandleSurpriseRemoval(DeviceObject, Irp);
            break;
        default:
            IoSkipCurrentIrpStackLocation(Irp);
            Status = IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
            break;
        }
    }

    // After a removal the device object is deleted but the I/O manager keeps
    // it, and so this record, until this request returns.
    ReleaseRemoveHold(DeviceExtension, "Pnp.c:HandlePnpIrp-", "");
    DebugPrint(4, DBG_PNP, "Pnp.c:HandlePnpIrp EXIT (0x%x = %s) with status 0x%lx\n", MinorFunction,
               PnpMinorFunctionString(MinorFunction), Status);
    if (MinorFunction != IRP_MN_REMOVE_DEVICE) {
        LogEvent(DeviceExtension, "Pnp<", LOG_SIGNED(Status), 0, LOG_STATE(DeviceExtension));
    }
    return Status;
}

static TESMO_PAGED NTSTATUS GetRegistryKeyValue(HANDLE Handle, PWSTR KeyNameString, ULONG KeyNameStringLength,
                                                PVOID Data, ULONG DataLength)
{
    UNICODE_STRING KeyName;
    ULONG Length;
    ULONG ResultLength = 0;
    PKEY_VALUE_FULL_INFORMATION FullInformation;
    NTSTATUS Status;

    PAGED_CODE();
    RtlInitUnicodeString(&KeyName, KeyNameString);
    Length = KeyNameStringLength + DataLength + sizeof(KEY_VALUE_FULL_INFORMATION);
    FullInformation = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, Length, TESMO_POOL_TAG);
    if (FullInformation == NULL) {
        DebugPrint(3, DBG_PNP, "Pnp.c:GetRegistryKeyValue-ExAllocatePoolWithTag\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Status = ZwQueryValueKey(Handle, &KeyName, KeyValueFullInformation, FullInformation, Length, &ResultLength);
    if (NT_SUCCESS(Status)) {
        if (FullInformation->DataLength <= DataLength) {
            RtlCopyMemory(Data, (PUCHAR)FullInformation + FullInformation->DataOffset, FullInformation->DataLength);
        } else {
            // Data that does not fit is not half copied and reported as success.
            Status = STATUS_BUFFER_TOO_SMALL;
        }
    } else {
        DebugPrint(3, DBG_PNP, "Pnp.c:GetRegistryKeyValue-ZwQueryValueKey failed with 0x%lx\n", Status);
    }
    ExFreePoolWithTag(FullInformation, TESMO_POOL_TAG);
    return Status;
}

// Makes \DosDevices\<port name> point at the device. A link that an earlier
// start created is reused when it has the same name and replaced when the
// port name changed, so that a restart after a stop succeeds. On success the
// record owns the link's name; LinkName is emptied when it was not kept.
static TESMO_PAGED NTSTATUS PublishLink(PDEVICE_EXTENSION DeviceExtension, PUNICODE_STRING LinkName)
{
    NTSTATUS Status;

    PAGED_CODE();
    if (DeviceExtension->SymbolicLinkName.Buffer != NULL) {
        if (RtlEqualUnicodeString(&DeviceExtension->SymbolicLinkName, LinkName, TRUE)) {
            ExFreePoolWithTag(LinkName->Buffer, TESMO_POOL_TAG);
            LinkName->Buffer = NULL;
            return STATUS_SUCCESS;
        }
        IoDeleteSymbolicLink(&DeviceExtension->SymbolicLinkName);
        ExFreePoolWithTag(DeviceExtension->SymbolicLinkName.Buffer, TESMO_POOL_TAG);
        RtlZeroMemory(&DeviceExtension->SymbolicLinkName, sizeof(UNICODE_STRING));
    }
    Status = IoCreateSymbolicLink(LinkName, &DeviceExtension->DeviceName);
    if (!NT_SUCCESS(Status)) {
        DebugPrint(3, DBG_PNP, "Pnp.c:HandleStartDevice-IoCreateSymbolicLink failed with 0x%lx\n", Status);
        return Status;
    }
    DeviceExtension->SymbolicLinkName = *LinkName;
    LinkName->Buffer = NULL;
    return STATUS_SUCCESS;
}

static TESMO_PAGED NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;
    HANDLE Key = NULL;
    PWCH PortName = NULL;
    UNICODE_STRING LinkName;

    PAGED_CODE();
    DebugPrint(4, DBG_PNP, "Pnp.c: HandleStartDevice ENTRY\n");
    RtlZeroMemory(&LinkName, sizeof(LinkName));

    // The lower drivers' result is not examined: the start goes on either way.
    ForwardAndWait(DeviceExtension, Irp);

    ChangePnpState(DeviceExtension, Working, "HandleStartDevice");
    // The read time-outs of a started device, set while the gate still holds
    // device-control requests: an application's IOCTL_SERIAL_SET_TIMEOUTS
    // that the opening gate admits comes after them and is not overwritten.
    WriteSharedULong(&DeviceExtension->ReadTotalTimeoutMultiplier, 0);
    WriteSharedULong(&DeviceExtension->ReadTotalTimeoutConstant, READ_TOTAL_TIMEOUT_CONSTANT_AT_START);

    // The start's own USB requests pass the shut gate. The applications'
    // wait until the pipes, packet sizes and descriptors of this start are in
    // place: on a restart they would otherwise read them half rewritten.
    Status = ReadDescriptors(DeviceObject);
    if (!NT_SUCCESS(Status)) {
        DebugPrint(3, DBG_PNP, "Pnp.c:HandleStartDevice-ReadDescriptors failed with 0x%lx\n", Status);
    } else {
        Status = SelectConfiguration(
            DeviceObject,
            TESMO_UNGUARDED_READ(DeviceExtension->ConfigurationDescriptor,
                                 "the start reads the descriptor it has just installed: only it changes it"));
        if (!NT_SUCCESS(Status)) {
            DebugPrint(3, DBG_PNP, "Pnp.c:HandleStartDevice-SelectConfiguration failed with 0x%lx\n", Status);
        }
    }
    ChangeQueueState(DeviceExtension, AllowRequests, "HandleStartDevice");
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }

    Status = IoOpenDeviceRegistryKey(DeviceExtension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                     STANDARD_RIGHTS_READ, &Key);
    if (!NT_SUCCESS(Status)) {
        DebugPrint(3, DBG_PNP, "Pnp.c:HandleStartDevice-IoOpenDeviceRegistryKey failed with 0x%lx\n", Status);
        Key = NULL;
        goto Exit;
    }

    PortName = (PWCH)ExAllocatePoolWithTag(RarelyUsedPagedPool, PORT_NAME_BUFFER_SIZE, TESMO_POOL_TAG);
    if (PortName == NULL) {
        DebugPrint(3, DBG_PNP, "Pnp.c:HandleStartDevice-ExAllocatePoolWithTag failed for port name\n");
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    // Zeroed, so that a value without a terminating zero still ends in one:
    // at most 256 bytes are copied into the 258-byte buffer.
    RtlZeroMemory(PortName, PORT_NAME_BUFFER_SIZE);
    Status = GetRegistryKeyValue(Key, const_cast<PWSTR>(TESMO_WIDE("PortName")), PORT_NAME_VALUE_LENGTH, PortName,
                                 PORT_NAME_CAPACITY);
    if (!NT_SUCCESS(Status)) {
        DebugPrint(3, DBG_PNP, "Pnp.c:HandleStartDevice-GetRegistryKeyValue failed with 0x%lx\n", Status);
        goto Exit;
    }

    LinkName.Buffer = (PWCH)ExAllocatePoolWithTag(RarelyUsedPagedPool, LINK_NAME_BUFFER_SIZE, TESMO_POOL_TAG);
    if (LinkName.Buffer == NULL) {
        DebugPrint(3, DBG_PNP, "Pnp.c:HandleStartDevice-ExAllocatePoolWithTag failed for link name\n");
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(LinkName.Buffer, LINK_NAME_BUFFER_SIZE);
    LinkName.Length = 0;
    LinkName.MaximumLength = LINK_NAME_CAPACITY;
    RtlAppendUnicodeToString(&LinkName, TESMO_WIDE("\\"));
    RtlAppendUnicodeToString(&LinkName, TESMO_WIDE("DosDevices"));
    RtlAppendUnicodeToString(&LinkName, TESMO_WIDE("\\"));
    // A port name too long for the link's buffer would leave the link as the
    // bare \DosDevices\ directory: the start fails instead.
    Status = RtlAppendUnicodeToString(&LinkName, PortName);
    if (!NT_SUCCESS(Status)) {
        DebugPrint(3, DBG_PNP, "Pnp.c:HandleStartDevice-RtlAppendUnicodeToString failed with 0x%lx\n", Status);
        goto Exit;
    }

    Status = PublishLink(DeviceExtension, &LinkName);
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }

    Status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, TESMO_WIDE("SERIALCOMM"), DeviceExtension->DeviceName.Buffer,
                                   REG_SZ, PortName, (WideLength(PortName) + 1) * sizeof(WCHAR));
    if (!NT_SUCCESS(Status)) {
        DebugPrint(3, DBG_PNP, "Pnp.c:HandleStartDevice-RtlWriteRegistryValue failed with 0x%lx\n", Status);
        goto Exit;
    }

    // The name registered by AddDevice (or an earlier start) is replaced.
    if (DeviceExtension->InterfaceLinkName.Buffer != NULL) {
        RtlFreeUnicodeString(&DeviceExtension->InterfaceLinkName);
    }
    Status = IoRegisterDeviceInterface(DeviceExtension->PhysicalDeviceObject, &GUID_DEVINTERFACE_TESMO, NULL,
                                       &DeviceExtension->InterfaceLinkName);
    if (!NT_SUCCESS(Status)) {
        DebugPrint(3, DBG_PNP, "Pnp.c:HandleStartDevice-IoRegisterDeviceInterface failed with 0x%lx\n", Status);
        goto Exit;
    }
    Status = IoSetDeviceInterfaceState(&DeviceExtension->InterfaceLinkName, TRUE);
    if (!NT_SUCCESS(Status)) {
        DebugPrint(3, DBG_PNP, "Pnp.c:HandleStartDevice-IoSetDeviceInterfaceState failed with 0x%lx\n", Status);
        goto Exit;
    }
    // Enabled already (AddDevice enabled it): that is what the start wants.
    Status = STATUS_SUCCESS;

Exit:
    if (LinkName.Buffer != NULL) {
        ExFreePoolWithTag(LinkName.Buffer, TESMO_POOL_TAG);
    }
    if (PortName != NULL) {
        ExFreePoolWithTag(PortName, TESMO_POOL_TAG);
    }
    if (Key != NULL) {
        ZwClose(Key);
    }
    // Requests held while the device was stopped (a rebalance) have nobody
    // else to serve them now that the queue is open again.
    if (NT_SUCCESS(Status) && ReadSharedULong(&DeviceExtension->PnpState) == Working) {
        ProcessQueuedIrps(DeviceExtension);
    }
    DebugPrint(4, DBG_PNP, "Pnp.c:HandleStartDevice EXIT = 0x%lx\n", Status);
    return Status;
}

static TESMO_PAGED NTSTATUS HandleQueryStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    PAGED_CODE();
    DebugPrint(4, DBG_PNP, "Pnp.c: HandleQueryStopDevice ENTRY\n");
    ChangePnpState(DeviceExtension, PendingStop, "HandleQueryStopDevice");
    ChangeQueueState(DeviceExtension, HoldRequests, "HandleQueryStopDevice");
    WaitForUsbQuiet(DeviceExtension);
    Status = PassDownAsSuccessful(DeviceExtension, Irp);
    DebugPrint(4, DBG_PNP, "Pnp.c:HandleQueryStopDevice EXIT = 0x%lx\n", Status);
    return Status;
}

static TESMO_PAGED NTSTATUS HandleCancelStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    PAGED_CODE();
    DebugPrint(4, DBG_PNP, "Pnp.c: HandleCancelStopDevice ENTRY\n");
    if (ReadSharedULong(&DeviceExtension->PnpState) != PendingStop) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
    }
    Status = ForwardAndWait(DeviceExtension, Irp);
    if (NT_SUCCESS(Status)) {
        RestorePnpState(DeviceExtension, "HandleCancelStopDevice");
        ChangeQueueState(DeviceExtension, AllowRequests, "HandleCancelStopDevice");
        if (ReadSharedULong(&DeviceExtension->PnpState) == Working) {
            ProcessQueuedIrps(DeviceExtension);
        }
    }
    CompleteRequest(Irp, Status, 0);
    DebugPrint(4, DBG_PNP, "Pnp.c:HandleCancelStopDevice EXIT = 0x%lx\n", Status);
    return Status;
}

static TESMO_PAGED NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    PAGED_CODE();
    DebugPrint(4, DBG_PNP, "Pnp.c: HandleStopDevice ENTRY\n");
    ChangePnpState(DeviceExtension, Stopped, "HandleStopDevice");
    ChangeQueueState(DeviceExtension, HoldRequests, "HandleStopDevice");
    Status = PassDownAsSuccessful(DeviceExtension, Irp);
    DebugPrint(4, DBG_PNP, "Pnp.c:HandleStopDevice EXIT = 0x%lx\n", Status);
    return Status;
}

static TESMO_PAGED NTSTATUS HandleQueryRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    PAGED_CODE();
    DebugPrint(4, DBG_PNP, "Pnp.c: HandleQueryRemoveDevice ENTRY\n");
    ChangePnpState(DeviceExtension, PendingRemove, "HandleQueryRemoveDevice");
    ChangeQueueState(DeviceExtension, HoldRequests, "HandleQueryRemoveDevice");
    WaitForUsbQuiet(DeviceExtension);
    Status = PassDownAsSuccessful(DeviceExtension, Irp);
    DebugPrint(4, DBG_PNP, "Pnp.c:HandleQueryRemoveDevice EXIT = 0x%lx\n", Status);
    return Status;
}

static TESMO_PAGED NTSTATUS HandleCancelRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    PAGED_CODE();
    DebugPrint(4, DBG_PNP, "Pnp.c: HandleCancelRemoveDevice ENTRY\n");
    ChangeQueueState(DeviceExtension, AllowRequests, "HandleCancelRemoveDevice");
    if (ReadSharedULong(&DeviceExtension->PnpState) == PendingRemove) {
        Status = ForwardAndWait(DeviceExtension, Irp);
        if (NT_SUCCESS(Status)) {
            RestorePnpState(DeviceExtension, "HandleCancelRemoveDevice");
            ProcessQueuedIrps(DeviceExtension);
        }
        CompleteRequest(Irp, Status, 0);
    } else {
        Status = PassDownAsSuccessful(DeviceExtension, Irp);
    }
    DebugPrint(4, DBG_PNP, "Pnp.c:HandleCancelRemoveDevice EXIT = 0x%lx\n", Status);
    return Status;
}

// Withdraws what the start published: the interface, the device-map value
// and the link. Failures are traced only when asked (surprise removal).
static TESMO_PAGED VOID WithdrawPublication(PDEVICE_EXTENSION DeviceExtension, BOOLEAN TraceFailures)
{
    NTSTATUS Status;

    PAGED_CODE();
    if (DeviceExtension->InterfaceLinkName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&DeviceExtension->InterfaceLinkName, FALSE);
        RtlFreeUnicodeString(&DeviceExtension->InterfaceLinkName);
    }
    Status =
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, TESMO_WIDE("SERIALCOMM"), DeviceExtension->DeviceName.Buffer);
    if (!NT_SUCCESS(Status) && TraceFailures) {
        DebugPrint(2, DBG_PNP, "Pnp.c:HandleSurpriseRemoval-RtlDeleteRegistryValue failed = 0x%lx\n", Status);
    }
    Status = IoDeleteSymbolicLink(&DeviceExtension->SymbolicLinkName);
    if (!NT_SUCCESS(Status) && TraceFailures) {
        DebugPrint(2, DBG_PNP, "Pnp.c:HandleSurpriseRemoval-IoDeleteSymbolicLink failed = 0x%lx\n", Status);
    }
    if (DeviceExtension->SymbolicLinkName.Buffer != NULL) {
        ExFreePoolWithTag(DeviceExtension->SymbolicLinkName.Buffer, TESMO_POOL_TAG);
        RtlZeroMemory(&DeviceExtension->SymbolicLinkName, sizeof(UNICODE_STRING));
    }
}

static TESMO_PAGED NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    PAGED_CODE();
    DebugPrint(4, DBG_PNP, "Pnp.c: HandleSurpriseRemoval ENTRY\n");
    if (DeviceExtension->WaitWakeEnabled) {
        CancelWaitWake(DeviceExtension);
    }
    ChangePnpState(DeviceExtension, SurpriseRemoved, "HandleSurpriseRemoval");
    ChangeQueueState(DeviceExtension, FailRequests, "HandleSurpriseRemoval");
    ProcessQueuedIrps(DeviceExtension);
    WithdrawPublication(DeviceExtension, TRUE);
    AbortPipes(DeviceObject);
    Status = PassDownAsSuccessful(DeviceExtension, Irp);
    DebugPrint(4, DBG_PNP, "Pnp.c:HandleSurpriseRemoval EXIT = 0x%lx\n", Status);
    return Status;
}

static TESMO_PAGED NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    PAGED_CODE();
    DebugPrint(4, DBG_PNP, "Pnp.c: HandleRemoveDevice ENTRY\n");
    if (ReadSharedULong(&DeviceExtension->PnpState) != SurpriseRemoved) {
        ChangeQueueState(DeviceExtension, FailRequests, "HandleRemoveDevice");
        if (DeviceExtension->WaitWakeEnabled) {
            CancelWaitWake(DeviceExtension);
        }
        ProcessQueuedIrps(DeviceExtension);
        WithdrawPublication(DeviceExtension, FALSE);
        AbortPipes(DeviceObject);
    }
    ChangePnpState(DeviceExtension, Removed, "HandleRemoveDevice");
    WaitForUsbQuiet(DeviceExtension);
    ReleaseMemory(DeviceExtension);
    Status = PassDownAsSuccessful(DeviceExtension, Irp);
    IoDetachDevice(DeviceExtension->LowerDeviceObject);
    IoDeleteDevice(DeviceObject);
    DebugPrint(4, DBG_PNP, "Pnp.c:HandleRemoveDevice EXIT = 0x%lx\n", Status);
    return Status;
}

static TESMO_PAGED VOID ReleaseMemory(PDEVICE_EXTENSION DeviceExtension)
{
    PAGED_CODE();
    DebugPrint(4, DBG_PNP, "Pnp.c:ReleaseMemory ENTRY\n");

    // Reads, writes and device-control requests still running finish before
    // the storage they use goes; later ones are refused.
    if (NT_SUCCESS(IoAcquireRemoveLock(&DeviceExtension->RequestLock, TESMO_LOCK_TAG))) {
        IoReleaseRemoveLockAndWait(&DeviceExtension->RequestLock, TESMO_LOCK_TAG);
    }

    ReleaseUsbdIfcInfoList(DeviceExtension);
    // The work items go too: nothing queues them once the device is removed.
    ReleaseDeviceStorage(DeviceExtension);
}

static TESMO_PAGED VOID ReleaseUsbdIfcInfoList(PDEVICE_EXTENSION DeviceExtension)
{
    UNREFERENCED_PARAMETER(DeviceExtension);
    PAGED_CODE();
    DebugPrint(4, DBG_PNP, "Pnp.c:ReleaseUsbdIfcInfoList ENTRY\n");
}

static TESMO_PAGED NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PDEVICE_CAPABILITIES Capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    NTSTATUS Status;
    ULONG Index;

    PAGED_CODE();
    DebugPrint(4, DBG_PNP, "Pnp.c: HandleQueryCapabilities ENTRY\n");
    if (Capabilities->Version < DEVICE_CAPABILITIES_VERSION || Capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        DebugPrint(3, DBG_PNP, "Invalid verions (%d) or size (%d, should be at least %d)\n", Capabilities->Version,
                   Capabilities->Size, (int)sizeof(DEVICE_CAPABILITIES));
        return STATUS_UNSUCCESSFUL;
    }

    Capabilities->SurpriseRemovalOK = TRUE;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Status = ForwardAndWait(DeviceExtension, Irp);
    if (!NT_SUCCESS(Status)) {
        ResetDeviceStateMap(DeviceExtension);
    } else {
        for (Index = 0; Index < DEVICE_STATE_MAP_ENTRIES; Index++) {
            DeviceExtension->DeviceStateMap[Index] = Capabilities->DeviceState[Index];
        }
        Capabilities->SurpriseRemovalOK = TRUE;
    }
    DebugPrint(4, DBG_PNP, "Pnp.c:HandleQueryCapabilities EXIT = 0x%lx\n", Status);
    return Status;
}

}  // extern "C"
