// The driver frame: entry, unload, the system-control pass-through, device
// creation and teardown, the outstanding-I/O accounting that gates USB
// traffic, the remove lock's traced hold and request completion.
#include "Tesmo.h"

#include "DebugPrint.h"
#include "EventLog.h"
#include "Ioctl.h"
#include "NameTables.h"
#include "Pnp.h"
#include "Power.h"
#include "Queue.h"
#include "ReadWrite.h"
#include "Usb.h"

extern "C" {

LONG DeviceInstanceCounter = 0;

const GUID GUID_DEVINTERFACE_TESMO = {0x7E5D8DA7, 0x540B, 0x4940, {0xA4, 0xDF, 0x93, 0x83, 0xA9, 0xA1, 0xC2, 0x15}};

// The name buffer holds 256 bytes of name plus a terminator that stays zero.
#define DEVICE_NAME_BUFFER_SIZE 258
#define DEVICE_NAME_CAPACITY 256
#define INSTANCE_NUMBER_BUFFER_SIZE 40

static DRIVER_UNLOAD Unload;
static DRIVER_ADD_DEVICE PnPAddDevice;
static DRIVER_DISPATCH HandleSystemControlIrp;

TESMO_INIT NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    DebugPrint(4, DBG_DRIVER, "**********************************************************************************\n");
    DebugPrint(4, DBG_DRIVER, "Tesmo.c: DriverEntry ENTRY %s %s:%s\n", TESMO_VERSION, __DATE__, __TIME__);

    DriverObject->DriverUnload = Unload;
    DriverObject->DriverExtension->AddDevice = PnPAddDevice;
    DriverObject->MajorFunction[IRP_MJ_PNP] = HandlePnpIrp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = HandlePowerIrp;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = HandleCreateIrp;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = HandleCloseOrCleanupIrp;
    DriverObject->MajorFunction[IRP_MJ_READ] = HandleReadIrp;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = HandleWriteIrp;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = HandleCloseOrCleanupIrp;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = HandleDeviceControlIrp;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = HandleSystemControlIrp;
    return STATUS_SUCCESS;
}

static VOID Unload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    DebugPrint(4, DBG_DRIVER, "Tesmo.c: DriverEntry Unload\n");
}

static NTSTATUS HandleSystemControlIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
}

TESMO_PAGED VOID ReleaseDeviceStorage(PDEVICE_EXTENSION DeviceExtension)
{
    PAGED_CODE();
    if (DeviceExtension->ReassemblyBlock != NULL) {
        ExFreePoolWithTag(DeviceExtension->ReassemblyBlock, TESMO_POOL_TAG);
        DeviceExtension->ReassemblyBlock = NULL;
        InterlockedExchangePointer((PVOID volatile*)&DeviceExtension->StaticBuffer, NULL);
    }
    // Under its lock, as every change of it, and freed by the swap.
    InstallConfigurationDescriptor(DeviceExtension, NULL, 0);
    if (DeviceExtension->InterfaceInfo != NULL) {
        ExFreePoolWithTag(DeviceExtension->InterfaceInfo, TESMO_POOL_TAG);
        DeviceExtension->InterfaceInfo = NULL;
        DeviceExtension->InterfaceInfoLength = 0;
    }
    if (DeviceExtension->DeviceName.Buffer != NULL) {
        ExFreePoolWithTag(DeviceExtension->DeviceName.Buffer, TESMO_POOL_TAG);
        DeviceExtension->DeviceName.Buffer = NULL;
    }
    if (DeviceExtension->SymbolicLinkName.Buffer != NULL) {
        ExFreePoolWithTag(DeviceExtension->SymbolicLinkName.Buffer, TESMO_POOL_TAG);
        DeviceExtension->SymbolicLinkName.Buffer = NULL;
    }
    if (DeviceExtension->InterfaceLinkName.Buffer != NULL) {
        RtlFreeUnicodeString(&DeviceExtension->InterfaceLinkName);
    }
    if (DeviceExtension->WorkItem != NULL) {
        IoFreeWorkItem(DeviceExtension->WorkItem);
        DeviceExtension->WorkItem = NULL;
    }
    if (DeviceExtension->DrainWorkItem != NULL) {
        IoFreeWorkItem(DeviceExtension->DrainWorkItem);
        DeviceExtension->DrainWorkItem = NULL;
    }
    ReleaseCircularLog(DeviceExtension);
}

static TESMO_PAGED NTSTATUS PnPAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    NTSTATUS Status;
    PDEVICE_OBJECT DeviceObject = NULL;
    PDEVICE_EXTENSION DeviceExtension = NULL;
    PWCH NameBuffer;
    UNICODE_STRING ObjectName;
    UNICODE_STRING InstanceNumber;
    WCHAR InstanceNumberBuffer[INSTANCE_NUMBER_BUFFER_SIZE / sizeof(WCHAR)];
    BOOLEAN InterfaceEnabled = FALSE;

    PAGED_CODE();
    DebugPrint(4, DBG_DRIVER, "Tesmo.c: PnPAddDevice ENTRY\n");

    NameBuffer = (PWCH)ExAllocatePoolWithTag(PagedPool, DEVICE_NAME_BUFFER_SIZE, TESMO_POOL_TAG);
    if (NameBuffer == NULL) {
        DebugPrint(3, DBG_DRIVER, "Tesmo.c: PnPAddDevice ExAllocatePoolWithTag failed for object name\n");
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(NameBuffer, DEVICE_NAME_BUFFER_SIZE);
    ObjectName.Buffer = NameBuffer;
    ObjectName.Length = 0;
    ObjectName.MaximumLength = DEVICE_NAME_CAPACITY;
    RtlAppendUnicodeToString(&ObjectName, TESMO_WIDE("\\Device\\Tesmo"));

    InstanceNumber.Buffer = InstanceNumberBuffer;
    InstanceNumber.Length = 0;
    InstanceNumber.MaximumLength = sizeof(InstanceNumberBuffer);
    RtlIntegerToUnicodeString((ULONG)InterlockedIncrement(&DeviceInstanceCounter), 10, &InstanceNumber);
    RtlAppendUnicodeStringToString(&ObjectName, &InstanceNumber);
    DebugPrint(4, DBG_DRIVER, "Tesmo.c: objectName.Buffer = %S\n", ObjectName.Buffer);

    Status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &ObjectName, FILE_DEVICE_SERIAL_PORT,
                            FILE_DEVICE_SECURE_OPEN, TRUE, &DeviceObject);
    if (!NT_SUCCESS(Status)) {
        DebugPrint(2, DBG_DRIVER, "Tesmo.c: PnPAddDevice IoCreateDevice = 0x%lx\n", Status);
        goto Exit;
    }

    DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    DeviceExtension->Signature = TESMO_POOL_TAG;
    DeviceExtension->ExtensionStamp = EXTENSION_STAMP;
    DeviceExtension->FunctionalDeviceObject = DeviceObject;
    DeviceExtension->PhysicalDeviceObject = PhysicalDeviceObject;
    WriteSharedULong(&DeviceExtension->PnpState, NotStarted);
    DeviceExtension->PreviousPnpState = NotStarted;
    SetQueueState(DeviceExtension, HoldRequests);
    ResetDeviceStateMap(DeviceExtension);

    KeInitializeEvent(&DeviceExtension->StaticBufferEvent, SynchronizationEvent, FALSE);
    DeviceExtension->StaticBuffer = NULL;
    DeviceExtension->StaticBufferBytes = 0;
    DeviceExtension->StaticBufferOffset = 0;

    Status = InitCircularLog(DeviceExtension, 2);
    if (!NT_SUCCESS(Status)) {
        DebugPrint(3, DBG_DRIVER, "Tesmo.c:PnPAddDevice-InitCircularLog failed with status = 0x%lx\n", Status);
    }

    DeviceExtension->WorkItem = IoAllocateWorkItem(DeviceObject);
    if (DeviceExtension->WorkItem == NULL) {
        DebugPrint(3, DBG_DRIVER, "Tesmo.c:PnPAddDevice IoAllocateWorkItem failed\n");
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    DeviceExtension->DrainWorkItem = IoAllocateWorkItem(DeviceObject);
    if (DeviceExtension->DrainWorkItem == NULL) {
        DebugPrint(3, DBG_DRIVER, "Tesmo.c:PnPAddDevice IoAllocateWorkItem failed\n");
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }

    IoInitializeRemoveLockEx(&DeviceExtension->RemoveLock, TESMO_POOL_TAG, 0, 0, sizeof(IO_REMOVE_LOCK));
    DeviceExtension->RemoveLockCount = 0;
    IoInitializeRemoveLockEx(&DeviceExtension->RequestLock, TESMO_POOL_TAG, 0, 0, sizeof(IO_REMOVE_LOCK));
    KeInitializeEvent(&DeviceExtension->NoPendingUsbTranfers, NotificationEvent, TRUE);
    KeInitializeSpinLock(&DeviceExtension->UsbRequestLock);
    KeInitializeSpinLock(&DeviceExtension->DescriptorLock);
    InitializeListHead(&DeviceExtension->UsbRequestsInFlight);
    InitializeRequestQueue(DeviceExtension);

    // From here on the record owns the name buffer.
    DeviceExtension->DeviceName = ObjectName;
    NameBuffer = NULL;

    Status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_TESMO, NULL,
                                       &DeviceExtension->InterfaceLinkName);
    if (!NT_SUCCESS(Status)) {
        DebugPrint(2, DBG_DRIVER, "Tesmo.c: PnPAddDevice IoRegisterDeviceInterface = 0x%lx\n", Status);
        goto Exit;
    }
    Status = IoSetDeviceInterfaceState(&DeviceExtension->InterfaceLinkName, TRUE);
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }
    InterfaceEnabled = TRUE;
    DebugPrint(4, DBG_DRIVER, "Tesmo.c: PnPAddDevice IoRegisterDeviceInterface String = %S\n",
               DeviceExtension->InterfaceLinkName.Buffer);

    DeviceExtension->LowerDeviceObject = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
    if (DeviceExtension->LowerDeviceObject == NULL) {
        DebugPrint(2, DBG_DRIVER, "Tesmo.c: PnPAddDevice IoAttachDeviceToDeviceStack returned NULL\n");
        Status = STATUS_DELETE_PENDING;
        goto Exit;
    }

    DeviceObject->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;

Exit:
    DebugPrint(4, DBG_DRIVER, "Tesmo.c: PnPAddDevice EXIT = 0x%lx\n", Status);
    if (DeviceExtension != NULL && DeviceExtension->LogEntries != NULL) {
        LogEvent(DeviceExtension, "AddD", LOG_SIGNED(Status), 0, 0);
    }
    if (!NT_SUCCESS(Status)) {
        // The record exists only once IoCreateDevice succeeded; its device
        // object goes with it.
        if (DeviceExtension != NULL) {
            if (InterfaceEnabled) {
                IoSetDeviceInterfaceState(&DeviceExtension->InterfaceLinkName, FALSE);
            }
            ReleaseDeviceStorage(DeviceExtension);
            IoDeleteDevice(DeviceObject);
        }
        if (NameBuffer != NULL) {
            ExFreePoolWithTag(NameBuffer, TESMO_POOL_TAG);
        }
    }
    return Status;
}

// Whether the gate admits a USB request now: an open gate admits every one;
// a gate held shut for the start admits the start's own.
static BOOLEAN GateAdmits(PDEVICE_EXTENSION DeviceExtension, BOOLEAN StartRequest)
{
    ULONG State = ReadQueueState(DeviceExtension);

    return (State == AllowRequests || (StartRequest && State == HoldRequests)) ? TRUE : FALSE;
}

static NTSTATUS CountUsbRequest(PDEVICE_EXTENSION DeviceExtension, BOOLEAN StartRequest)
{
    LONG Result;

    if (!GateAdmits(DeviceExtension, StartRequest)) {
        DebugPrint(6, DBG_IOCOUNT,
                   "Tesmo.c: Kavrel_IoIncrement, in %s state, exiting with STATUS_UNSUCCESSFUL (0x%lx)\n",
                   QueueStateString((LONG)ReadQueueState(DeviceExtension)), STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }
    Result = InterlockedIncrement(&DeviceExtension->OutstandingIo);
    DebugPrint(6, DBG_IOCOUNT, "Tesmo.c: Kavrel_IoIncrement to %ld\n", Result);
    if (Result == 1) {
        DebugPrint(6, DBG_IOCOUNT, "Tesmo.c: Kavrel_IoIncrement, clearing NoPendingUsbTranfers event\n");
        KeClearEvent(&DeviceExtension->NoPendingUsbTranfers);
    }
    // The test above and the count are two steps: a closing of the gate that
    // fell between them may already have waited for quiet and found none.
    // Read the state again now that the request is counted (the interlocked
    // increment is a full barrier): either the closer's wait sees this count,
    // or this read sees the closed gate and the request backs out.
    if (!GateAdmits(DeviceExtension, StartRequest)) {
        DebugPrint(6, DBG_IOCOUNT,
                   "Tesmo.c: Kavrel_IoIncrement, in %s state, exiting with STATUS_UNSUCCESSFUL (0x%lx)\n",
                   QueueStateString((LONG)ReadQueueState(DeviceExtension)), STATUS_UNSUCCESSFUL);
        Kavrel_IoDecrement(DeviceExtension);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Kavrel_IoIncrement(PDEVICE_EXTENSION DeviceExtension)
{
    return CountUsbRequest(DeviceExtension, FALSE);
}

NTSTATUS Kavrel_IoIncrementForStart(PDEVICE_EXTENSION DeviceExtension)
{
    return CountUsbRequest(DeviceExtension, TRUE);
}

NTSTATUS Kavrel_IoDecrement(PDEVICE_EXTENSION DeviceExtension)
{
    LONG Result = InterlockedDecrement(&DeviceExtension->OutstandingIo);

    DebugPrint(6, DBG_IOCOUNT, "Tesmo.c: Kavrel_IoDecrement to %ld\n", Result);
    if (Result == 0) {
        KeSetEvent(&DeviceExtension->NoPendingUsbTranfers, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_SUCCESS;
}

NTSTATUS AcquireRemoveHold(PDEVICE_EXTENSION DeviceExtension, PCSTR Where)
{
    LONG Count = InterlockedIncrement(&DeviceExtension->RemoveLockCount);
    NTSTATUS Status;

    DebugPrint(5, DBG_POWER, "%sacquiring Remove lock (%ld)\n", Where, Count);
    Status = IoAcquireRemoveLock(&DeviceExtension->RemoveLock, TESMO_LOCK_TAG);
    if (!NT_SUCCESS(Status)) {
        // Refused: there is no hold to count.
        InterlockedDecrement(&DeviceExtension->RemoveLockCount);
    }
    return Status;
}

VOID ReleaseRemoveHold(PDEVICE_EXTENSION DeviceExtension, PCSTR Where, PCSTR Purpose)
{
    LONG Count = InterlockedDecrement(&DeviceExtension->RemoveLockCount);

    DebugPrint(5, DBG_POWER, "%sreleasing Remove lock (%ld)%s\n", Where, Count, Purpose);
    IoReleaseRemoveLock(&DeviceExtension->RemoveLock, TESMO_LOCK_TAG);
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The request stays the sender's: a forwarded PnP request is completed by
// its handler after the wait, and SynchCallUSBD may still cancel a timed-out
// request before it completes it again and the I/O manager releases it.
static NTSTATUS GiveBackToWaitingSender(PVOID Context)
{
    KeSetEvent((PKEVENT)Context, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SynchCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    DebugPrint(5, DBG_DATA, "Tesmo.c: SynchCompletionRoutine ENTRY\n");
    Status = GiveBackToWaitingSender(Context);
    DebugPrint(5, DBG_DATA, "Tesmo.c: SynchCompletionRoutine EXIT = STATUS_MORE_PROCESSING_REQUIRED\n");
    return Status;
}

// The same for a USB request, untraced: every transfer comes back through it.
NTSTATUS UsbRequestCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    return GiveBackToWaitingSender(Context);
}

NTSTATUS WaitForUsbQuiet(PDEVICE_EXTENSION DeviceExtension)
{
    NTSTATUS Status;
    LARGE_INTEGER Bound;

    Bound.QuadPart = USB_QUIET_WAIT_BOUND;
    for (;;) {
        Status = KeWaitForSingleObject(&DeviceExtension->NoPendingUsbTranfers, Executive, KernelMode, FALSE, &Bound);
        if (Status != STATUS_TIMEOUT) {
            return Status;
        }
        // A transfer without a time limit (a long read the instrument never
        // answers) would otherwise hold up the whole device: cancel what is in
        // flight and wait for it to come back.
        CancelUsbRequestsInFlight(DeviceExtension);
    }
}

}  // extern "C"

// ---- ownership of the reassembly buffer ----

extern "C" {

PUCHAR AcquireDevExtBuffer(PDEVICE_EXTENSION DeviceExtension)
{
    PUCHAR Buffer;

    DebugPrint(6, DBG_DATA, "Tesmo.c: AcquireDevExtBuffer ENTRY\n");
    for (;;) {
        Buffer = (PUCHAR)InterlockedExchangePointer((PVOID volatile*)&DeviceExtension->StaticBuffer, NULL);
        if (Buffer != NULL) {
            break;
        }
        // Another thread owns it; a wake-up that finds it still taken waits again.
        KeWaitForSingleObject(&DeviceExtension->StaticBufferEvent, Executive, KernelMode, FALSE, NULL);
    }
    DebugPrint(6, DBG_DATA, "Tesmo.c: AcquireDevExtBuffer Exit with %p\n", Buffer);
    return Buffer;
}

PUCHAR ReleaseDevExtBuffer(PDEVICE_EXTENSION DeviceExtension, PUCHAR Buffer)
{
    PUCHAR Previous;

    DebugPrint(6, DBG_DATA, "Tesmo.c: ReleaseDevExtBuffer ENTRY buffer %p\n", Buffer);
    DebugPrint(6, DBG_DATA, "Tesmo.c: StaticBuffer %p on entry (should be NULL)\n",
               TESMO_UNGUARDED_READ(DeviceExtension->StaticBuffer, "a trace of the field as the owner finds it"));
    Previous = (PUCHAR)InterlockedExchangePointer((PVOID volatile*)&DeviceExtension->StaticBuffer, Buffer);
    DebugPrint(6, DBG_DATA, "Tesmo.c: StaticBuffer %p on EXIT\n",
               TESMO_UNGUARDED_READ(DeviceExtension->StaticBuffer, "a trace of the field given back"));
    KeSetEvent(&DeviceExtension->StaticBufferEvent, IO_NO_INCREMENT, FALSE);
    return Previous;
}

}  // extern "C"
