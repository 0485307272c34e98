// The instrument's USB requests: descriptors, configuration, bulk transfers
// to and from the instrument (an IN transfer waits until a packet exists and
// can be cancelled), pipe abort and reset, and the hub's port requests.
#include "Descriptors.h"
#include "TestBus.h"

extern "C" {

// Opaque handles; the product driver only hands them back.
#define CONFIGURATION_HANDLE ((USBD_CONFIGURATION_HANDLE)(ULONG_PTR)0x7E5DC000)
#define INTERFACE_HANDLE(Number) ((USBD_INTERFACE_HANDLE)(ULONG_PTR)(0x7E5D1000 | (Number)))
#define PIPE_HANDLE(Endpoint) ((USBD_PIPE_HANDLE)(ULONG_PTR)(0x7E5D2000 | (Endpoint)))

static NTSTATUS CompleteUrb(PIRP Irp, PURB Urb, NTSTATUS Status, USBD_STATUS UrbStatus)
{
    Urb->UrbHeader.Status = UrbStatus;
    return CompleteWith(Irp, Status, 0);
}

static PUCHAR TransferBufferOf(PVOID Buffer, PMDL Mdl)
{
    if (Buffer != NULL) {
        return (PUCHAR)Buffer;
    }
    return Mdl != NULL ? (PUCHAR)MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority) : NULL;
}

static NTSTATUS GetDescriptor(PIRP Irp, PURB Urb)
{
    struct _URB_CONTROL_DESCRIPTOR_REQUEST* Request = &Urb->UrbControlDescriptorRequest;
    const UCHAR* Source;
    ULONG Size;
    PUCHAR Destination = TransferBufferOf(Request->TransferBuffer, Request->TransferBufferMDL);

    if (Request->DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && Request->Index == 0) {
        Source = InstrumentDeviceDescriptor;
        Size = sizeof(InstrumentDeviceDescriptor);
    } else if (Request->DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && Request->Index == 0) {
        Source = InstrumentConfigurationDescriptor;
        Size = sizeof(InstrumentConfigurationDescriptor);
    } else {
        // No strings and no second configuration: the device stalls.
        return CompleteUrb(Irp, Urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    }
    if (Destination == NULL && Request->TransferBufferLength != 0) {
        return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    if (Size > Request->TransferBufferLength) {
        Size = Request->TransferBufferLength;
    }
    RtlCopyMemory(Destination, Source, Size);
    Request->TransferBufferLength = Size;
    return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

// Fills one interface entry of a select-configuration request; FALSE when
// the device has no such interface or the entry has no room for its pipes.
static BOOLEAN FillInterface(PUSBD_INTERFACE_INFORMATION Interface)
{
    const USB_INTERFACE_DESCRIPTOR* Descriptor =
        FindInterfaceDescriptor(Interface->InterfaceNumber, Interface->AlternateSetting);
    const UCHAR* Next;

    if (Descriptor == NULL || Interface->Length < GET_USBD_INTERFACE_SIZE(Descriptor->bNumEndpoints)) {
        return FALSE;
    }
    Interface->Class = Descriptor->bInterfaceClass;
    Interface->SubClass = Descriptor->bInterfaceSubClass;
    Interface->Protocol = Descriptor->bInterfaceProtocol;
    Interface->InterfaceHandle = INTERFACE_HANDLE(Descriptor->bInterfaceNumber);
    Interface->NumberOfPipes = Descriptor->bNumEndpoints;
    Next = (const UCHAR*)Descriptor + Descriptor->bLength;
    for (ULONG Index = 0; Index < Descriptor->bNumEndpoints; Index++, Next += Next[0]) {
        const USB_ENDPOINT_DESCRIPTOR* Endpoint = (const USB_ENDPOINT_DESCRIPTOR*)Next;
        PUSBD_PIPE_INFORMATION Pipe = &Interface->Pipes[Index];
        Pipe->MaximumPacketSize = Endpoint->wMaxPacketSize;
        Pipe->EndpointAddress = Endpoint->bEndpointAddress;
        Pipe->Interval = Endpoint->bInterval;
        Pipe->PipeType = (USBD_PIPE_TYPE)(Endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK);
        Pipe->PipeHandle = PIPE_HANDLE(Endpoint->bEndpointAddress);
        if (Pipe->MaximumTransferSize == 0) {
            Pipe->MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
    }
    return TRUE;
}

static NTSTATUS SelectConfiguration(PINSTRUMENT_EXTENSION Device, PIRP Irp, PURB Urb)
{
    struct _URB_SELECT_CONFIGURATION* Request = &Urb->UrbSelectConfiguration;
    PUCHAR End = (PUCHAR)Urb + Urb->UrbHeader.Length;
    PUSBD_INTERFACE_INFORMATION Interface = &Request->Interface;

    CountUp(&Device->Bus->Counters.Configurations, 1);
    if (Device->Options.RefuseConfiguration) {
        TestBusTrace("select configuration refused\n");
        return CompleteUrb(Irp, Urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    }
    if (Request->ConfigurationDescriptor == NULL) {
        return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);  // unconfigured
    }
    while ((PUCHAR)Interface + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) <= End && Interface->Length != 0) {
        if ((PUCHAR)Interface + Interface->Length > End || !FillInterface(Interface)) {
            TestBusTrace("select configuration: bad interface entry %u\n", (unsigned)Interface->InterfaceNumber);
            return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND);
        }
        Interface = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)Interface + Interface->Length);
    }
    Request->ConfigurationHandle = CONFIGURATION_HANDLE;
    TestBusTrace("configuration selected\n");
    return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

// ---- bulk IN transfers waiting for a packet ----

static PURB UrbOf(PIRP Irp)
{
    return (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
}

// Under the device's lock: fills a waiting transfer from the instrument.
static VOID FillTransfer(PINSTRUMENT_EXTENSION Device, PIRP Irp)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* Transfer = &UrbOf(Irp)->UrbBulkOrInterruptTransfer;
    PUCHAR Buffer = TransferBufferOf(Transfer->TransferBuffer, Transfer->TransferBufferMDL);

    Transfer->TransferBufferLength = InstrumentFillIn(&Device->Instrument, Buffer, Transfer->TransferBufferLength);
    Transfer->Hdr.Status = USBD_STATUS_SUCCESS;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    CountUp(&Device->Bus->Counters.BulkInBytes, Transfer->TransferBufferLength);
}

static VOID CompleteAll(PLIST_ENTRY Done)
{
    while (!IsListEmpty(Done)) {
        PIRP Irp = CONTAINING_RECORD(RemoveHeadList(Done), IRP, Tail.Overlay.ListEntry);
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
}

// Under the device's lock: takes the first waiting transfer off the list
// unless its cancel routine is already running (which then completes it).
static PIRP TakeWaitingTransfer(PINSTRUMENT_EXTENSION Device)
{
    while (!IsListEmpty(&Device->PendingIn)) {
        PLIST_ENTRY Entry = RemoveHeadList(&Device->PendingIn);
        PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
        // The cancel routine's removal then finds a lone entry.
        InitializeListHead(Entry);
        if (IoSetCancelRoutine(Irp, NULL) != NULL) {
            return Irp;
        }
    }
    return NULL;
}

static VOID CancelInTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PINSTRUMENT_EXTENSION Device = (PINSTRUMENT_EXTENSION)Irp->Tail.Overlay.DriverContext[0];
    KIRQL Irql;

    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irql = KeAcquireSpinLockRaiseToDpc(&Device->Lock);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Device->Lock, Irql);
    CountUp(&Device->Bus->Counters.CancelledTransfers, 1);
    UrbOf(Irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    CompleteUrb(Irp, UrbOf(Irp), STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

// Under the device's lock: hands packets to waiting transfers, in order.
static VOID ServeWaitingTransfers(PINSTRUMENT_EXTENSION Device, PLIST_ENTRY Done)
{
    PIRP Irp;

    while (InstrumentHasPacket(&Device->Instrument) && (Irp = TakeWaitingTransfer(Device)) != NULL) {
        FillTransfer(Device, Irp);
        InsertTailList(Done, &Irp->Tail.Overlay.ListEntry);
    }
}

VOID InstrumentFailPendingTransfers(PINSTRUMENT_EXTENSION Device)
{
    LIST_ENTRY Done;
    PIRP Irp;
    KIRQL Irql;

    InitializeListHead(&Done);
    Irql = KeAcquireSpinLockRaiseToDpc(&Device->Lock);
    Device->Gone = TRUE;
    while ((Irp = TakeWaitingTransfer(Device)) != NULL) {
        UrbOf(Irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        UrbOf(Irp)->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        Irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
        InsertTailList(&Done, &Irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&Device->Lock, Irql);
    CompleteAll(&Done);
}

// Ends every waiting transfer as cancelled (an abort of the IN pipe).
static VOID AbortInTransfers(PINSTRUMENT_EXTENSION Device)
{
    LIST_ENTRY Done;
    PIRP Irp;
    KIRQL Irql;

    InitializeListHead(&Done);
    Irql = KeAcquireSpinLockRaiseToDpc(&Device->Lock);
    while ((Irp = TakeWaitingTransfer(Device)) != NULL) {
        UrbOf(Irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        UrbOf(Irp)->UrbHeader.Status = USBD_STATUS_CANCELED;
        Irp->IoStatus.Status = STATUS_CANCELLED;
        CountUp(&Device->Bus->Counters.CancelledTransfers, 1);
        InsertTailList(&Done, &Irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&Device->Lock, Irql);
    CompleteAll(&Done);
}

static NTSTATUS BulkOut(PINSTRUMENT_EXTENSION Device, PIRP Irp, PURB Urb, PUCHAR Buffer, ULONG Length)
{
    LIST_ENTRY Done;
    KIRQL Irql;

    InitializeListHead(&Done);
    Irql = KeAcquireSpinLockRaiseToDpc(&Device->Lock);
    if (Device->Gone) {
        KeReleaseSpinLock(&Device->Lock, Irql);
        return CompleteUrb(Irp, Urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    }
    InstrumentTakeOut(&Device->Instrument, Buffer, Length);
    ServeWaitingTransfers(Device, &Done);
    KeReleaseSpinLock(&Device->Lock, Irql);
    CompleteAll(&Done);
    CountUp(&Device->Bus->Counters.BulkOutBytes, Length);
    return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

static NTSTATUS BulkIn(PINSTRUMENT_EXTENSION Device, PIRP Irp, PURB Urb)
{
    KIRQL Irql;

    Irql = KeAcquireSpinLockRaiseToDpc(&Device->Lock);
    if (Device->Gone) {
        KeReleaseSpinLock(&Device->Lock, Irql);
        Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        return CompleteUrb(Irp, Urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    }
    if (InstrumentHasPacket(&Device->Instrument) && IsListEmpty(&Device->PendingIn)) {
        FillTransfer(Device, Irp);
        KeReleaseSpinLock(&Device->Lock, Irql);
        return CompleteWith(Irp, STATUS_SUCCESS, 0);
    }
    // Nothing to send yet: the transfer waits, cancellable.
    Irp->Tail.Overlay.DriverContext[0] = Device;
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, CancelInTransfer);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        // Cancelled before it was queued, and the cancel routine will not run.
        KeReleaseSpinLock(&Device->Lock, Irql);
        Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        CompleteUrb(Irp, Urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        return STATUS_PENDING;
    }
    InsertTailList(&Device->PendingIn, &Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Device->Lock, Irql);
    return STATUS_PENDING;
}

static NTSTATUS BulkTransfer(PINSTRUMENT_EXTENSION Device, PIRP Irp, PURB Urb)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* Transfer = &Urb->UrbBulkOrInterruptTransfer;
    PUCHAR Buffer = TransferBufferOf(Transfer->TransferBuffer, Transfer->TransferBufferMDL);
    BOOLEAN In = (Transfer->TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? TRUE : FALSE;

    if (Buffer == NULL && Transfer->TransferBufferLength != 0) {
        return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    if (Transfer->PipeHandle == PIPE_HANDLE(INSTRUMENT_OUT_ENDPOINT) && !In) {
        return BulkOut(Device, Irp, Urb, Buffer, Transfer->TransferBufferLength);
    }
    if (Transfer->PipeHandle == PIPE_HANDLE(INSTRUMENT_IN_ENDPOINT) && In) {
        // A packet must fit whole: a shorter buffer would overrun.
        if (Transfer->TransferBufferLength < INSTRUMENT_PACKET_SIZE) {
            return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
        return BulkIn(Device, Irp, Urb);
    }
    TestBusTrace("bulk transfer on an unknown pipe %p (flags 0x%x)\n", Transfer->PipeHandle,
                 (unsigned)Transfer->TransferFlags);
    return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
}

static NTSTATUS PipeRequest(PINSTRUMENT_EXTENSION Device, PIRP Irp, PURB Urb)
{
    USBD_PIPE_HANDLE Pipe = Urb->UrbPipeRequest.PipeHandle;

    if (Pipe != PIPE_HANDLE(INSTRUMENT_OUT_ENDPOINT) && Pipe != PIPE_HANDLE(INSTRUMENT_IN_ENDPOINT) &&
        Pipe != PIPE_HANDLE(0x83)) {
        return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    if (Urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE && Pipe == PIPE_HANDLE(INSTRUMENT_IN_ENDPOINT)) {
        AbortInTransfers(Device);
    }
    return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

static NTSTATUS SubmitUrb(PINSTRUMENT_EXTENSION Device, PIRP Irp)
{
    PURB Urb = UrbOf(Irp);

    if (Urb == NULL) {
        return CompleteWith(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    switch (Urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(Irp, Urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(Device, Irp, Urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return BulkTransfer(Device, Irp, Urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return PipeRequest(Device, Irp, Urb);
    default:
        TestBusTrace("URB function 0x%x not supported\n", (unsigned)Urb->UrbHeader.Function);
        return CompleteUrb(Irp, Urb, STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS InstrumentInternalDeviceControl(PINSTRUMENT_EXTENSION Device, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PULONG PortStatus;

    switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(Device, Irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        CountUp(&Device->Bus->Counters.PortStatusQueries, 1);
        PortStatus = (PULONG)Stack->Parameters.Others.Argument1;
        if (PortStatus == NULL) {
            return CompleteWith(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        *PortStatus = 0;
        if (Device->Present) {
            *PortStatus = Device->PortDisabled ? USBD_PORT_CONNECTED : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
        }
        return CompleteWith(Irp, STATUS_SUCCESS, 0);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        CountUp(&Device->Bus->Counters.PortResets, 1);
        if (!Device->Present) {
            return CompleteWith(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
        }
        InterlockedExchange(&Device->PortDisabled, 0);
        return CompleteWith(Irp, STATUS_SUCCESS, 0);
    default:
        return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

}  // extern "C"
