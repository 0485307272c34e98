// USB transport: the one road by which URBs reach the USB stack, and the
// reading of descriptors and selection of the configuration at start.
#include "Usb.h"

#include "DebugPrint.h"
#include "Tesmo.h"

extern "C" {

// A request SynchCallUSBD is waiting for, linked into UsbRequestsInFlight.
typedef struct _USB_REQUEST_IN_FLIGHT {
    LIST_ENTRY Link;
    PIRP Irp;
} USB_REQUEST_IN_FLIGHT, *PUSB_REQUEST_IN_FLIGHT;

#define INSTRUMENT_INTERFACE_NUMBER 1
#define INSTRUMENT_PIPE_COUNT 2
#define INSTRUMENT_OUT_ENDPOINT 0x01
#define INSTRUMENT_IN_ENDPOINT 0x82
#define CONFIGURATION_HEADER_SIZE 9
// Interface numbers are one byte: a search for bNumInterfaces interfaces
// that skips gaps in the numbering ends here at the latest.
#define INTERFACE_NUMBER_LIMIT 256

// SynchCallUSBD with one more answer: whether the URB reached the bus at all.
// A URB that reached it carries the bus's account of what moved, whatever
// the status; one that did not still holds what the caller filled in.
// StartRequest: one of the start's own, which the gate admits while shut.
static NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT DeviceObject, PURB Urb, PLARGE_INTEGER Timeout, PBOOLEAN Submitted,
                                 BOOLEAN StartRequest)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;
    NTSTATUS WaitStatus;
    KEVENT Event;
    KEVENT Completed;
    IO_STATUS_BLOCK IoStatus;
    PIRP Irp;
    USB_REQUEST_IN_FLIGHT InFlight;
    KIRQL OldIrql;

    *Submitted = FALSE;
    DebugPrint(6, DBG_USB, "Usb.c:SynchCallUSBD ENTRY\n");
    Status = StartRequest ? Kavrel_IoIncrementForStart(DeviceExtension) : Kavrel_IoIncrement(DeviceExtension);
    if (!NT_SUCCESS(Status)) {
        DebugPrint(3, DBG_USB, "Usb.c:SynchCallUSBD-Kavrel_IoIncrement failed with status 0x%lx\n", Status);
        return Status;
    }

    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    Irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, DeviceExtension->LowerDeviceObject, NULL, 0,
                                        NULL, 0, TRUE, &Event, &IoStatus);
    if (Irp == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Decrement;
    }
    IoGetNextIrpStackLocation(Irp)->Parameters.Others.Argument1 = Urb;
    KeInitializeEvent(&Completed, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, UsbRequestCompletionRoutine, &Completed, TRUE, TRUE, TRUE);

    InFlight.Irp = Irp;
    OldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->UsbRequestLock);
    InsertTailList(&DeviceExtension->UsbRequestsInFlight, &InFlight.Link);
    KeReleaseSpinLock(&DeviceExtension->UsbRequestLock, OldIrql);

    *Submitted = TRUE;
    Status = IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
    if (Status == STATUS_PENDING) {
        WaitStatus = KeWaitForSingleObject(&Completed, Suspended, KernelMode, FALSE, Timeout);
        if (WaitStatus == STATUS_TIMEOUT) {
            DebugPrint(3, DBG_USB,
                       "Usb.c:SynchCallUSBD-KeWaitForSingleObject returned STATUS_TIMEOUT (0x%lx).  Canceling IRP\n",
                       STATUS_TIMEOUT);
            IoCancelIrp(Irp);
            KeWaitForSingleObject(&Completed, Suspended, KernelMode, FALSE, NULL);
            // The transfer may have ended by itself as the wait ran out: a
            // failure (the device gone, a stall) is reported as what it is,
            // not as a time-out, which is a success. What it moved is counted
            // by the caller either way.
            Status = Irp->IoStatus.Status;
            if (NT_SUCCESS(Status) || Status == STATUS_CANCELLED) {
                Status = STATUS_TIMEOUT;
            }
        } else {
            Status = Irp->IoStatus.Status;
        }
    }

    OldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->UsbRequestLock);
    RemoveEntryList(&InFlight.Link);
    KeReleaseSpinLock(&DeviceExtension->UsbRequestLock, OldIrql);
    // The lower driver is done with it: let the I/O manager finish and release it.
    IoCompleteRequest(Irp, IO_NO_INCREMENT);

Decrement:
    Kavrel_IoDecrement(DeviceExtension);
    return Status;
}

NTSTATUS SynchCallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb, PLARGE_INTEGER Timeout)
{
    BOOLEAN Submitted;

    return SubmitUrbAndWait(DeviceObject, Urb, Timeout, &Submitted, FALSE);
}

// A request of the start, made before the gate opens to the applications.
static TESMO_PAGED NTSTATUS CallUsbForStart(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    BOOLEAN Submitted;

    PAGED_CODE();
    return SubmitUrbAndWait(DeviceObject, Urb, NULL, &Submitted, TRUE);
}

VOID CancelUsbRequestsInFlight(PDEVICE_EXTENSION DeviceExtension)
{
    KIRQL OldIrql;
    PLIST_ENTRY Entry;

    // Each IRP on the list is still owned by its SynchCallUSBD, which takes
    // it off the list under the same lock before releasing it.
    OldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->UsbRequestLock);
    for (Entry = DeviceExtension->UsbRequestsInFlight.Flink; Entry != &DeviceExtension->UsbRequestsInFlight;
         Entry = Entry->Flink) {
        IoCancelIrp(CONTAINING_RECORD(Entry, USB_REQUEST_IN_FLIGHT, Link)->Irp);
    }
    KeReleaseSpinLock(&DeviceExtension->UsbRequestLock, OldIrql);
}

static VOID BuildDescriptorRequest(PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length)
{
    UsbBuildGetDescriptorRequest(Urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), DescriptorType, 0, 0,
                                 Buffer, NULL, Length, NULL);
}

// Puts a freshly read configuration descriptor (or none, at removal) in place
// of the one the record holds. Readers copy it under DescriptorLock, so the
// old block goes only once no reader can be inside it. Resident: it holds the
// spin lock.
TESMO_RESIDENT VOID InstallConfigurationDescriptor(PDEVICE_EXTENSION DeviceExtension,
                                                   PUSB_CONFIGURATION_DESCRIPTOR Descriptor, ULONG Length)
{
    PUSB_CONFIGURATION_DESCRIPTOR Previous;
    KIRQL OldIrql;

    OldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DescriptorLock);
    Previous = DeviceExtension->ConfigurationDescriptor;
    DeviceExtension->ConfigurationDescriptor = Descriptor;
    DeviceExtension->ConfigurationDescriptorLength = Length;
    KeReleaseSpinLock(&DeviceExtension->DescriptorLock, OldIrql);
    if (Previous != NULL) {
        ExFreePoolWithTag(Previous, TESMO_POOL_TAG);
    }
}

TESMO_PAGED NTSTATUS ReadDescriptors(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;
    PURB Urb;
    PUSB_CONFIGURATION_DESCRIPTOR Header;
    PUSB_CONFIGURATION_DESCRIPTOR Descriptor = NULL;
    USHORT TotalLength;

    PAGED_CODE();
    DebugPrint(4, DBG_USB, "Usb.c:ReadDescriptors ENTRY\n");

    Urb = (PURB)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) + CONFIGURATION_HEADER_SIZE, TESMO_POOL_TAG);
    if (Urb == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) + CONFIGURATION_HEADER_SIZE);
    Header = (PUSB_CONFIGURATION_DESCRIPTOR)((PUCHAR)Urb + sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));

    BuildDescriptorRequest(Urb, USB_DEVICE_DESCRIPTOR_TYPE, &DeviceExtension->DeviceDescriptor,
                           sizeof(USB_DEVICE_DESCRIPTOR));
    Status = CallUsbForStart(DeviceObject, Urb);
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }

    BuildDescriptorRequest(Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, Header, CONFIGURATION_HEADER_SIZE);
    Status = CallUsbForStart(DeviceObject, Urb);
    DebugPrint(6, DBG_USB, "Usb.c:ReadDescriptors-configuration header request returned 0x%lx\n", Status);
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }

    // A configuration shorter than its own header cannot be parsed safely.
    TotalLength = Header->wTotalLength;
    if (TotalLength < CONFIGURATION_HEADER_SIZE) {
        Status = STATUS_DEVICE_DATA_ERROR;
        goto Exit;
    }
    // Read into a block of its own: the copy of an earlier start stays where
    // readers find it until this one is complete.
    Descriptor = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, TotalLength, TESMO_POOL_TAG);
    if (Descriptor == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    // A device that sends less than it announced leaves zeros, not stale pool.
    RtlZeroMemory(Descriptor, TotalLength);

    BuildDescriptorRequest(Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, Descriptor, TotalLength);
    Status = CallUsbForStart(DeviceObject, Urb);
    DebugPrint(6, DBG_USB, "Usb.c:ReadDescriptors-configuration descriptor request returned 0x%lx\n", Status);
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }
    // The block was sized by the first answer; everything that walks it goes
    // by the length in its header. A device that announces another length the
    // second time would send them past its end.
    if (Descriptor->wTotalLength != TotalLength) {
        DebugPrint(3, DBG_USB, "Usb.c:ReadDescriptors-wTotalLength changed from %d to %d\n", (int)TotalLength,
                   (int)Descriptor->wTotalLength);
        Status = STATUS_DEVICE_DATA_ERROR;
        goto Exit;
    }
    InstallConfigurationDescriptor(DeviceExtension, Descriptor, TotalLength);
    Descriptor = NULL;

Exit:
    if (Urb != NULL) {
        ExFreePoolWithTag(Urb, TESMO_POOL_TAG);
    }
    if (Descriptor != NULL) {
        ExFreePoolWithTag(Descriptor, TESMO_POOL_TAG);
    }
    return Status;
}

// Records one pipe of the instrument's interface; fails when the IN pipe's
// packet size does not fit the reassembly buffer or the buffer cannot be
// allocated.
static TESMO_PAGED NTSTATUS TakeInstrumentPipe(PDEVICE_EXTENSION DeviceExtension, PUSBD_PIPE_INFORMATION Pipe)
{
    PUCHAR Block;

    PAGED_CODE();
    if (Pipe->EndpointAddress == INSTRUMENT_OUT_ENDPOINT) {
        DebugPrint(5, DBG_USB, "Usb.c:SelectConfiguration-bulk OUT pipe handle 0x%p\n", Pipe->PipeHandle);
        // Handles are read only by counted transfers, which a restart has
        // waited for and whose gate it keeps shut until here.
        DeviceExtension->OutMaxPacketSize = Pipe->MaximumPacketSize;
        DeviceExtension->OutPipeHandle = Pipe->PipeHandle;
    } else if (Pipe->EndpointAddress == INSTRUMENT_IN_ENDPOINT) {
        DebugPrint(5, DBG_USB, "Usb.c:SelectConfiguration-bulk IN pipe handle 0x%p\n", Pipe->PipeHandle);
        // Whole packets pass through the 4096-byte reassembly buffer: a packet
        // size it cannot hold (or none at all) would overrun it or divide by 0.
        if (Pipe->MaximumPacketSize == 0 || Pipe->MaximumPacketSize > STATIC_BUFFER_SIZE) {
            DebugPrint(3, DBG_USB, "Usb.c:SelectConfiguration-bulk IN packet size %d not supported\n",
                       (int)Pipe->MaximumPacketSize);
            return STATUS_DEVICE_DATA_ERROR;
        }
        // The packet size is read by every read, counted or not; a restart
        // finds the size of the first start (the bytes waiting in the buffer
        // came in its packets) and leaves it alone, or refuses a device that
        // changed it.
        if (DeviceExtension->ReassemblyBlock != NULL && DeviceExtension->InMaxPacketSize != Pipe->MaximumPacketSize) {
            DebugPrint(3, DBG_USB, "Usb.c:SelectConfiguration-bulk IN packet size changed from %d to %d\n",
                       (int)DeviceExtension->InMaxPacketSize, (int)Pipe->MaximumPacketSize);
            return STATUS_DEVICE_DATA_ERROR;
        }
        if (DeviceExtension->ReassemblyBlock == NULL) {
            DeviceExtension->InMaxPacketSize = Pipe->MaximumPacketSize;
        }
        DeviceExtension->InPipeHandle = Pipe->PipeHandle;
        // A restart keeps the buffer of the first start: a reader may own it
        // right now, and the bytes waiting in it are still the instrument's.
        if (DeviceExtension->ReassemblyBlock == NULL) {
            Block = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, STATIC_BUFFER_SIZE, TESMO_POOL_TAG);
            if (Block == NULL) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            DeviceExtension->StaticBufferBytes = 0;
            DeviceExtension->StaticBufferOffset = 0;
            // Handed over like any release (a reader may already wait for it),
            // and only then announced through ReassemblyBlock, the field that
            // tells readers there is a buffer to wait for.
            InterlockedExchangePointer((PVOID volatile*)&DeviceExtension->StaticBuffer, Block);
            KeSetEvent(&DeviceExtension->StaticBufferEvent, IO_NO_INCREMENT, FALSE);
            InterlockedExchangePointer((PVOID volatile*)&DeviceExtension->ReassemblyBlock, Block);
            DebugPrint(5, DBG_USB, "Usb.c:SelectConfiguration-reassembly buffer 0x%p\n", Block);
        }
    }
    return STATUS_SUCCESS;
}

TESMO_PAGED NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                                         PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;
    PUSBD_INTERFACE_LIST_ENTRY InterfaceList = NULL;
    PURB Urb = NULL;
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
    ULONG InterfaceCount = ConfigurationDescriptor->bNumInterfaces;
    ULONG Found = 0;
    ULONG InterfaceNumber;
    ULONG Index;
    ULONG PipeIndex;
    ULONG TotalSize = 0;
    ULONG EntrySize;

    PAGED_CODE();
    DebugPrint(4, DBG_USB, "Usb.c:SelectConfiguration ENTRY, ConfigurationDescriptor = 0x%p\n",
               ConfigurationDescriptor);

    InterfaceList = (PUSBD_INTERFACE_LIST_ENTRY)ExAllocatePoolWithTag(
        NonPagedPool, (InterfaceCount + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY), TESMO_POOL_TAG);
    if (InterfaceList == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(InterfaceList, (InterfaceCount + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));

    // One entry per interface, alternate setting 0. Interface numbers need
    // not be contiguous: the list is filled with the interfaces found, so a
    // gap neither ends the list early nor leaves an entry the walk below
    // would read past the request.
    for (InterfaceNumber = 0; Found < InterfaceCount && InterfaceNumber < INTERFACE_NUMBER_LIMIT; InterfaceNumber++) {
        InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                                                  (LONG)InterfaceNumber, 0, -1, -1, -1);
        if (InterfaceDescriptor != NULL) {
            InterfaceList[Found++].InterfaceDescriptor = InterfaceDescriptor;
        }
    }

    Urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, InterfaceList);
    if (Urb == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    Urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    Urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    Status = CallUsbForStart(DeviceObject, Urb);
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }

    Interface = &Urb->UrbSelectConfiguration.Interface;
    for (Index = 0; Index < Found; Index++) {
        EntrySize = (ULONG)GET_USBD_INTERFACE_SIZE(Interface->NumberOfPipes);
        if (FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface) + TotalSize + EntrySize > Urb->UrbHeader.Length) {
            // The bus answered with more pipes than the request has room for.
            Status = STATUS_DEVICE_DATA_ERROR;
            goto Exit;
        }
        for (PipeIndex = 0; PipeIndex < Interface->NumberOfPipes; PipeIndex++) {
            PUSBD_PIPE_INFORMATION Pipe = &Interface->Pipes[PipeIndex];
            Pipe->PipeFlags = 0;
            if (Interface->InterfaceNumber == INSTRUMENT_INTERFACE_NUMBER &&
                Interface->NumberOfPipes == INSTRUMENT_PIPE_COUNT && Pipe->PipeType == UsbdPipeTypeBulk) {
                Status = TakeInstrumentPipe(DeviceExtension, Pipe);
                if (!NT_SUCCESS(Status)) {
                    goto Exit;
                }
            }
        }
        TotalSize += EntrySize;
        Interface = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)Interface + EntrySize);
    }

    // A restart selects again: the interface information of the last start goes.
    if (DeviceExtension->InterfaceInfo != NULL) {
        ExFreePoolWithTag(DeviceExtension->InterfaceInfo, TESMO_POOL_TAG);
        DeviceExtension->InterfaceInfo = NULL;
        DeviceExtension->InterfaceInfoLength = 0;
    }
    DeviceExtension->InterfaceInfo =
        (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, TotalSize, TESMO_POOL_TAG);
    if (DeviceExtension->InterfaceInfo == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlCopyMemory(DeviceExtension->InterfaceInfo, &Urb->UrbSelectConfiguration.Interface, TotalSize);
    DeviceExtension->InterfaceInfoLength = TotalSize;
    DeviceExtension->ConfigurationHandle = Urb->UrbSelectConfiguration.ConfigurationHandle;

Exit:
    if (InterfaceList != NULL) {
        ExFreePoolWithTag(InterfaceList, TESMO_POOL_TAG);
    }
    if (Urb != NULL) {
        // The library allocated the request with its own tag.
        ExFreePool(Urb);
    }
    DebugPrint(4, DBG_USB, "Usb.c:SelectConfiguration EXIT = 0x%lx\n", Status);
    return Status;
}

}  // extern "C"

// ---- pipe and port recovery ----

extern "C" {

TESMO_PAGED NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PUSBD_INTERFACE_INFORMATION Interface = DeviceExtension->InterfaceInfo;
    struct _URB_PIPE_REQUEST* Urb = NULL;
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG Walked = 0;
    ULONG EntrySize;
    ULONG Index;

    PAGED_CODE();
    DebugPrint(4, DBG_USB, "Usb.c:AbortPipes ENTRY\n");
    // The copy holds every selected interface, one after the other: the
    // instrument's pipes are in the second.
    while (Interface != NULL && Walked + sizeof(USBD_INTERFACE_INFORMATION) <= DeviceExtension->InterfaceInfoLength &&
           Status != STATUS_INSUFFICIENT_RESOURCES) {
        EntrySize = (ULONG)GET_USBD_INTERFACE_SIZE(Interface->NumberOfPipes);
        if (Walked + EntrySize > DeviceExtension->InterfaceInfoLength) {
            break;
        }
        for (Index = 0; Index < Interface->NumberOfPipes; Index++) {
            PUSBD_PIPE_INFORMATION Pipe = &Interface->Pipes[Index];
            if (Pipe->PipeFlags == 0) {
                continue;
            }
            DebugPrint(4, DBG_USB, "Usb.c:AbortPipes-Aborting pipe %p\n", Pipe);
            if (Urb == NULL) {
                Urb = (struct _URB_PIPE_REQUEST*)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST),
                                                                       TESMO_POOL_TAG);
                if (Urb == NULL) {
                    DebugPrint(3, DBG_USB, "Usb.c:AbortPipes-ExAllocatePoolWithTag failed\n");
                    Status = STATUS_INSUFFICIENT_RESOURCES;
                    break;
                }
            }
            RtlZeroMemory(Urb, sizeof(struct _URB_PIPE_REQUEST));
            Urb->Hdr.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
            Urb->Hdr.Function = URB_FUNCTION_ABORT_PIPE;
            Urb->PipeHandle = Pipe->PipeHandle;
            Status = SynchCallUSBD(DeviceObject, (PURB)Urb, NULL);
            if (!NT_SUCCESS(Status)) {
                DebugPrint(3, DBG_USB, "Usb.c:AbortPipes-SynchCallUSBD failed with status 0x%lx\n", Status);
            } else {
                Pipe->PipeFlags = 0;
            }
        }
        Walked += EntrySize;
        Interface = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)Interface + EntrySize);
    }
    if (Urb != NULL) {
        ExFreePoolWithTag(Urb, TESMO_POOL_TAG);
    }
    DebugPrint(4, DBG_USB, "Usb.c:AbortPipes EXIT with status 0x%lx\n", Status);
    return Status;
}

TESMO_PAGED NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle)
{
    struct _URB_PIPE_REQUEST* Urb;
    NTSTATUS Status;

    PAGED_CODE();
    DebugPrint(4, DBG_USB, "Usb.c:ResetPipe ENTRY\n");
    Urb = (struct _URB_PIPE_REQUEST*)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST),
                                                           TESMO_POOL_TAG);
    if (Urb == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(Urb, sizeof(struct _URB_PIPE_REQUEST));
    Urb->Hdr.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    Urb->Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    Urb->PipeHandle = PipeHandle;
    Status = SynchCallUSBD(DeviceObject, (PURB)Urb, NULL);
    if (!NT_SUCCESS(Status)) {
        DebugPrint(4, DBG_USB, "Usb.c:ResetPipe-SynchCallUSBD failed with status 0x%lx\n", Status);
        Status = STATUS_INSUFFICIENT_RESOURCES;
    }

Exit:
    if (Urb != NULL) {
        ExFreePoolWithTag(Urb, TESMO_POOL_TAG);
    }
    DebugPrint(6, DBG_USB, "Usb.c:ResetPipe EXIT with status 0x%lx\n", Status);
    return Status;
}

// Sends an internal request of the hub (not counted as USB I/O: it works in
// every queue state) and waits for it.
static TESMO_PAGED NTSTATUS CallHub(PDEVICE_EXTENSION DeviceExtension, ULONG IoControlCode, PVOID Argument)
{
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
    PIRP Irp;
    NTSTATUS Status;

    PAGED_CODE();
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    Irp = IoBuildDeviceIoControlRequest(IoControlCode, DeviceExtension->LowerDeviceObject, NULL, 0, NULL, 0, TRUE,
                                        &Event, &IoStatus);
    if (Irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(Irp)->Parameters.Others.Argument1 = Argument;
    Status = IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Suspended, KernelMode, FALSE, NULL);
        Status = IoStatus.Status;
    }
    return Status;
}

static TESMO_PAGED NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    PAGED_CODE();
    DebugPrint(4, DBG_USB, "Usb.c:GetPortStatus ENTRY\n");
    *PortStatus = 0;
    Status = CallHub(DeviceExtension, IOCTL_INTERNAL_USB_GET_PORT_STATUS, PortStatus);
    DebugPrint(4, DBG_USB, "Usb.c:GetPortStatus EXIT with status 0x%lx\n", Status);
    return Status;
}

static TESMO_PAGED NTSTATUS ResetParentPort(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    PAGED_CODE();
    DebugPrint(4, DBG_USB, "Usb.c:ResetParentPort ENTRY\n");
    Status = CallHub(DeviceExtension, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
    DebugPrint(4, DBG_USB, "Usb.c:ResetParentPort EXIT with status 0x%lx\n", Status);
    return Status;
}

TESMO_PAGED NTSTATUS ResetParentPortIfDeviceNotEnabled(PDEVICE_OBJECT DeviceObject)
{
    NTSTATUS Status;
    ULONG PortStatus;

    PAGED_CODE();
    DebugPrint(4, DBG_USB, "Usb.c:ResetParentPortIfDeviceNotEnabled ENTRY\n");
    Status = GetPortStatus(DeviceObject, &PortStatus);
    if (NT_SUCCESS(Status) && !(PortStatus & USBD_PORT_ENABLED) && (PortStatus & USBD_PORT_CONNECTED)) {
        DebugPrint(5, DBG_USB,
                   "Usb.c:ResetParentPortIfDeviceNotEnabled connected, but not enabled.  Resetting parent port\n");
        Status = ResetParentPort(DeviceObject);
    }
    DebugPrint(4, DBG_USB, "Usb.c:ResetParentPortIfDeviceNotEnabled EXIT with status 0x%lx\n", Status);
    return Status;
}

}  // extern "C"

// ---- bulk transfers ----

extern "C" {

#define BULK_IN_FLAGS (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)

VOID BuildBulkTransferUrb(PURB Urb, USBD_PIPE_HANDLE PipeHandle, ULONG TransferFlags, PVOID Buffer, ULONG Length)
{
    UsbBuildInterruptOrBulkTransferRequest(Urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), PipeHandle,
                                           Buffer, NULL, Length, TransferFlags, NULL);
}

NTSTATUS SendBulkTransfer(PDEVICE_EXTENSION DeviceExtension, PURB Urb, BOOLEAN In, PVOID Buffer, ULONG Length,
                          PLARGE_INTEGER Timeout, PBOOLEAN Submitted)
{
    NTSTATUS Status;

    *Submitted = FALSE;
    // Counted before the pipe handle is read: a restart, which hands out new
    // handles, waits for the counted transfers and admits none until its
    // handles are in place.
    Status = Kavrel_IoIncrement(DeviceExtension);
    if (!NT_SUCCESS(Status)) {
        DebugPrint(3, DBG_USB, "Usb.c:SendBulkTransfer-Kavrel_IoIncrement failed with status 0x%lx\n", Status);
        return Status;
    }
    BuildBulkTransferUrb(Urb, In ? DeviceExtension->InPipeHandle : DeviceExtension->OutPipeHandle,
                         In ? BULK_IN_FLAGS : 0, Buffer, Length);
    Status = SubmitUrbAndWait(DeviceExtension->FunctionalDeviceObject, Urb, Timeout, Submitted, FALSE);
    Kavrel_IoDecrement(DeviceExtension);
    return Status;
}

static PURB AllocateBulkUrb(VOID)
{
    PURB Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, BULK_URB_SIZE, TESMO_POOL_TAG);

    if (Urb != NULL) {
        RtlZeroMemory(Urb, BULK_URB_SIZE);
    }
    return Urb;
}

TESMO_PAGED NTSTATUS ReadData(PDEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, ULONG Length, PLARGE_INTEGER Timeout,
                              PULONG BytesRead)
{
    NTSTATUS Status;
    PURB Urb;
    ULONG Received;
    BOOLEAN Submitted;

    PAGED_CODE();
    DebugPrint(6, DBG_USB, "Usb.c:ReadData ENTRY\n");
    if (BytesRead != NULL) {
        *BytesRead = 0;
    }
    if (DeviceExtension->InMaxPacketSize == 0 || (Length % DeviceExtension->InMaxPacketSize) != 0) {
        return STATUS_INVALID_PARAMETER;
    }

    Urb = AllocateBulkUrb();
    if (Urb == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        Status = SendBulkTransfer(DeviceExtension, Urb, TRUE, Buffer, Length, Timeout, &Submitted);
        // The bus reports the bytes it moved also for a transfer that failed,
        // was cancelled as its wait ran out or was cancelled by a stop: they
        // are in the buffer and are the instrument's, so they are counted.
        if (Submitted && BytesRead != NULL) {
            Received = Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
            *BytesRead = (Received < Length) ? Received : Length;
            if (*BytesRead != 0 || (NT_SUCCESS(Status) && USBD_SUCCESS(Urb->UrbHeader.Status))) {
                DebugPrint(6, DBG_USB, "usb.c:ReadDataPacket read %ld bytes\n", *BytesRead);
                DumpBuffer(Buffer, *BytesRead, DUMP_READ);
            }
        }
        ExFreePoolWithTag(Urb, TESMO_POOL_TAG);
    }
    DebugPrint(6, DBG_USB, "Usb.c:ReadData EXIT with status 0x%lx\n", Status);
    return Status;
}

TESMO_PAGED NTSTATUS ReadSinglePacket(PDEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, PLARGE_INTEGER Timeout,
                                      PULONG BytesRead)
{
    PAGED_CODE();
    return ReadData(DeviceExtension, Buffer, DeviceExtension->InMaxPacketSize, Timeout, BytesRead);
}

TESMO_PAGED NTSTATUS WriteImmediateChar(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;
    PURB Urb = NULL;
    BOOLEAN Submitted;

    PAGED_CODE();
    DebugPrint(4, DBG_USB, "Usb.c:WriteImmediateChar ENTRY\n");
    if (Stack->Parameters.DeviceIoControl.InputBufferLength != 1) {
        Status = STATUS_BUFFER_TOO_SMALL;
        goto Exit;
    }
    Urb = AllocateBulkUrb();
    if (Urb == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    // The request has no output buffer: Information stays 0 whatever was sent.
    Status = SendBulkTransfer(DeviceExtension, Urb, FALSE, Irp->AssociatedIrp.SystemBuffer, 1, NULL, &Submitted);
    Irp->IoStatus.Information = 0;

Exit:
    Irp->IoStatus.Status = Status;
    if (Urb != NULL) {
        ExFreePoolWithTag(Urb, TESMO_POOL_TAG);
    }
    DebugPrint(4, DBG_USB, "Usb.c:WriteImmediateChar EXIT with status 0x%lx\n", Status);
    return Status;
}

}  // extern "C"
