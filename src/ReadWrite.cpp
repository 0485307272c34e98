// The serial front end: open, close and cleanup, the write path, and the read
// path with its packet reassembly.
#include "ReadWrite.h"

#include "DebugPrint.h"
#include "EventLog.h"
#include "Tesmo.h"
#include "Usb.h"

// What the ENTRY trace reads without owning the reassembly buffer.
#define WAITING_BEFORE_THE_BUFFER "a trace of the waiting bytes before the buffer is taken"

extern "C" {

// A read's wait limit per packet, from the read time-outs: L x (2 x multiplier)
// + constant milliseconds, as a relative interval in 100-ns units. The doubled
// multiplier wraps at 32 bits; the rest is 64-bit arithmetic.
static TESMO_PAGED LONGLONG ReadWaitLimit(PDEVICE_EXTENSION DeviceExtension, ULONG Length)
{
    ULONG DoubledMultiplier = 2u * ReadSharedULong(&DeviceExtension->ReadTotalTimeoutMultiplier);
    ULONGLONG Milliseconds =
        (ULONGLONG)Length * DoubledMultiplier + (ULONGLONG)ReadSharedULong(&DeviceExtension->ReadTotalTimeoutConstant);

    PAGED_CODE();
    return (LONGLONG)(0ULL - Milliseconds * 10000ULL);
}

static TESMO_PAGED VOID CopyBytes(PUCHAR Destination, const UCHAR* Source, ULONG Length)
{
    PAGED_CODE();
    // A zero-length read has no system buffer to copy into.
    if (Length != 0 && Destination != NULL) {
        RtlCopyMemory(Destination, Source, Length);
    }
}

TESMO_PAGED NTSTATUS HandleCreateIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS Status;

    PAGED_CODE();
    DebugPrint(4, DBG_OPENCLOSE, "ReadWrite.c:HandleCreateIrp ENTRY\n");
    Status = AcquireRemoveHold(DeviceExtension, "ReadWrite.c:HandleCreateIrp-");
    if (!NT_SUCCESS(Status)) {
        DebugPrint(3, DBG_OPENCLOSE, "ReadWrite.c:HandleCreateIrp EXIT with status 0x%lx\n", Status);
        return CompleteRequest(Irp, Status, 0);
    }
    CompleteRequest(Irp, STATUS_SUCCESS, 0);
    ReleaseRemoveHold(DeviceExtension, "ReadWrite.c:HandleCreateIrp-", "");
    DebugPrint(4, DBG_OPENCLOSE, "ReadWrite.c:HandleCreateIrp EXIT with status 0x%lx\n", STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

// The port keeps nothing per handle: close and cleanup only succeed.
TESMO_PAGED NTSTATUS HandleCloseOrCleanupIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    BOOLEAN Cleanup = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CLEANUP ? TRUE : FALSE;

    UNREFERENCED_PARAMETER(DeviceObject);
    PAGED_CODE();
    DebugPrint(4, DBG_OPENCLOSE, "ReadWrite.c:%s ENTRY\n", Cleanup ? "HandleCleanupIrp" : "HandleCloseIrp");
    CompleteRequest(Irp, STATUS_SUCCESS, 0);
    if (Cleanup) {
        DebugPrint(4, DBG_OPENCLOSE, "ReadWrite.c:HandleCleanupIrp EXIT with status STATUS_SUCCESS\n");
    } else {
        DebugPrint(4, DBG_OPENCLOSE, "ReadWrite.c:HandleCloseIrp EXIT with status 0x%lx\n", STATUS_SUCCESS);
    }
    return STATUS_SUCCESS;
}

TESMO_PAGED NTSTATUS HandleWriteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ULONG Length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    PUCHAR Data = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS Status;
    PURB Urb;
    ULONG_PTR Sent = 0;
    BOOLEAN Submitted;

    PAGED_CODE();
    // A removed device's storage may be gone: refuse before touching it.
    Status = IoAcquireRemoveLock(&DeviceExtension->RequestLock, TESMO_LOCK_TAG);
    if (!NT_SUCCESS(Status)) {
        return CompleteRequest(Irp, Status, 0);
    }
    DebugPrint(4, DBG_WRITE, "ReadWrite.c: HandleWriteIrp ENTRY - sending %ld bytes\n", Length);
    LogEvent(DeviceExtension, "Wr> ", LOG_POINTER(Irp), LOG_UNSIGNED(Length), LOG_STATE(DeviceExtension));
    DumpBuffer(Data, Length, DUMP_OUT);

    Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, BULK_URB_SIZE, TESMO_POOL_TAG);
    if (Urb == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        RtlZeroMemory(Urb, BULK_URB_SIZE);
        Status = SendBulkTransfer(DeviceExtension, Urb, FALSE, Data, Length, NULL, &Submitted);
        if (NT_SUCCESS(Status)) {
            Sent = Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        }
    }
    CompleteRequest(Irp, Status, Sent);
    if (Urb != NULL) {
        ExFreePoolWithTag(Urb, TESMO_POOL_TAG);
    }
    if (Status != STATUS_SUCCESS) {
        DebugPrint(3, DBG_WRITE, "ReadWrite.c: HandleWriteIrp EXIT = 0x%lX\n", Status);
    }
    IoReleaseRemoveLock(&DeviceExtension->RequestLock, TESMO_LOCK_TAG);
    return Status;
}

// The part of a read that the bytes waiting in the reassembly buffer cannot
// serve: one packet into the buffer, or whole packets straight into the
// caller's buffer and one packet for the tail. Returns the transfer status and
// adds what it delivered to *Delivered.
static TESMO_PAGED NTSTATUS ReadFromInstrument(PDEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, PUCHAR Destination,
                                               ULONG Remainder, PLARGE_INTEGER WaitLimit, PULONG Delivered)
{
    ULONG PacketSize = DeviceExtension->InMaxPacketSize;
    ULONG Got = 0;
    ULONG Take;
    ULONG Whole;
    ULONG Tail;
    NTSTATUS Status;

    PAGED_CODE();
    if (Remainder <= PacketSize) {
        Status = ReadSinglePacket(DeviceExtension, Buffer, WaitLimit, &Got);
        DeviceExtension->StaticBufferBytes = Got;
        DeviceExtension->StaticBufferOffset = 0;
        // A packet that arrived as the wait ran out, or before a failure ended
        // the transfer, is the instrument's answer all the same: it is served
        // like any other. Only a transfer that brought nothing ends here.
        if (Got == 0 && Status != STATUS_SUCCESS) {
            DebugPrint(5, DBG_READ, "ReadSinglePacket with status 0x%lx, resetting bytes & offset\n", Status);
            DeviceExtension->StaticBufferBytes = 0;
            DeviceExtension->StaticBufferOffset = 0;
            return Status;
        }
        Take = (Got < Remainder) ? Got : Remainder;
        CopyBytes(Destination, Buffer, Take);
        *Delivered += Take;
        DebugPrint(5, DBG_READ,
                   "ReadWrite.c: Finished with ReadSinglePacket have waiting:offset %ld:%d, buffersize is %ld, bytes "
                   "copied= %ld, Irp->IoStatus.Information = %ld)\n",
                   Got, 0, Remainder, Take, *Delivered);
        DumpBuffer(Destination, Take, DUMP_IN);
        DeviceExtension->StaticBufferBytes = Got - Take;
        if (DeviceExtension->StaticBufferBytes != 0) {
            DeviceExtension->StaticBufferOffset = Take;
        }
        return Status;
    }

    Whole = (Remainder / PacketSize) * PacketSize;
    Tail = Remainder % PacketSize;
    DebugPrint(5, DBG_READ, "Calling ReadData for %ld bytes\n", Whole);
    // The whole packets wait as long as the caller's time-outs allow, like
    // any packet of the read; what arrived by then is delivered.
    Status = ReadData(DeviceExtension, Destination, Whole, WaitLimit, &Got);
    *Delivered += Got;
    Destination += Got;
    if (!NT_SUCCESS(Status) || Got != Whole || Tail == 0) {
        return Status;
    }
    Status = ReadSinglePacket(DeviceExtension, Buffer, WaitLimit, &Got);
    if (!NT_SUCCESS(Status) && Got == 0) {
        DebugPrint(3, DBG_READ, "ReadWrite.c: Read tail failed with status 0x%lx\n", Status);
        return Status;
    }
    Take = (Tail < Got) ? Tail : Got;
    CopyBytes(Destination, Buffer, Take);
    *Delivered += Take;
    DeviceExtension->StaticBufferBytes = Got - Take;
    DeviceExtension->StaticBufferOffset = Take;
    DebugPrint(5, DBG_READ, "ReadWrite.c: Read tail of %ld bytes (read=%ld), remaining:offset=%ld:%ld\n", Take, Got,
               DeviceExtension->StaticBufferBytes, DeviceExtension->StaticBufferOffset);
    DumpBuffer(Destination, Take, DUMP_IN);
    return Status;
}

// A read through the reassembly buffer: the bytes waiting in it first, then
// the instrument for the rest. *FromWaitingBytes tells whether the waiting
// bytes alone served it.
static TESMO_PAGED NTSTATUS ReadThroughBuffer(PDEVICE_EXTENSION DeviceExtension, PUCHAR Destination, ULONG Length,
                                              PLARGE_INTEGER WaitLimit, PULONG Delivered, PBOOLEAN FromWaitingBytes)
{
    NTSTATUS Status = STATUS_SUCCESS;
    PUCHAR Buffer;
    ULONG Waiting;

    PAGED_CODE();
    Buffer = AcquireDevExtBuffer(DeviceExtension);
    Waiting = DeviceExtension->StaticBufferBytes;
    if (Waiting > 0) {
        *Delivered = (Waiting < Length) ? Waiting : Length;
        CopyBytes(Destination, Buffer + DeviceExtension->StaticBufferOffset, *Delivered);
        DeviceExtension->StaticBufferBytes -= *Delivered;
        if (DeviceExtension->StaticBufferBytes == 0) {
            DeviceExtension->StaticBufferOffset = 0;
        } else {
            DeviceExtension->StaticBufferOffset += *Delivered;
        }
        DebugPrint(5, DBG_READ,
                   "HandleReadIrp-Existing Data %ld bytes, remaining:offset = %ld:%ld, "
                   "Irp->IoStatus.Information = %ld\n",
                   *Delivered, DeviceExtension->StaticBufferBytes, DeviceExtension->StaticBufferOffset, *Delivered);
        DumpBuffer(Destination, *Delivered, DUMP_IN);
    }
    *FromWaitingBytes = (Waiting > 0 && *Delivered == Length) ? TRUE : FALSE;
    if (!*FromWaitingBytes) {
        Status = ReadFromInstrument(DeviceExtension, Buffer, Destination == NULL ? NULL : Destination + *Delivered,
                                    Length - *Delivered, WaitLimit, Delivered);
    }
    ReleaseDevExtBuffer(DeviceExtension, Buffer);

    // Bytes taken from the buffer or the instrument exist nowhere else any
    // more: a read that delivered some completes as a short read, and a
    // failure that persists is reported by the next read. A failure carries
    // no count, as the I/O manager copies nothing back for it.
    if (!NT_SUCCESS(Status) && *Delivered != 0) {
        DebugPrint(5, DBG_READ, "ReadWrite.c: HandleReadIrp-delivering %ld bytes taken before status 0x%lx\n",
                   *Delivered, Status);
        Status = STATUS_SUCCESS;
    }
    return Status;
}

TESMO_PAGED NTSTATUS HandleReadIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ULONG Length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    PUCHAR Destination = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    LARGE_INTEGER WaitLimit;
    NTSTATUS Status;
    ULONG Delivered = 0;
    BOOLEAN FromWaitingBytes = FALSE;

    PAGED_CODE();
    // A removed device's storage may be gone: refuse before touching it.
    Status = IoAcquireRemoveLock(&DeviceExtension->RequestLock, TESMO_LOCK_TAG);
    if (!NT_SUCCESS(Status)) {
        return CompleteRequest(Irp, Status, 0);
    }
    WaitLimit.QuadPart = ReadWaitLimit(DeviceExtension, Length);
    DebugPrint(4, DBG_READ, "ReadWrite.c:HandleReadIrp ENTRY. Requesting %ld bytes - waiting bytes:offset = %ld:%ld\n",
               Length, TESMO_UNGUARDED_READ(DeviceExtension->StaticBufferBytes, WAITING_BEFORE_THE_BUFFER),
               TESMO_UNGUARDED_READ(DeviceExtension->StaticBufferOffset, WAITING_BEFORE_THE_BUFFER));
    LogEvent(DeviceExtension, "Rd> ", LOG_POINTER(Irp), LOG_UNSIGNED(Length), LOG_STATE(DeviceExtension));

    // Without a configured IN pipe there is no buffer to wait for and no
    // packet size to read by.
    if (DeviceExtension->ReassemblyBlock == NULL || DeviceExtension->InMaxPacketSize == 0) {
        Status = STATUS_INVALID_DEVICE_STATE;
    } else {
        Status = ReadThroughBuffer(DeviceExtension, Destination, Length, &WaitLimit, &Delivered, &FromWaitingBytes);
    }

    if (FromWaitingBytes) {
        DebugPrint(4, DBG_READ, "ReadWrite.c:HandleReadIrp-Completing IRP_MJ_READ with %ld bytes and status 0x%lx\n",
                   Delivered, Status);
    } else {
        DebugPrint(4, DBG_READ,
                   "ReadWrite.c:HandleReadIrp-Completing IRP_MJ_READ with %ld bytes (full) with status 0x%lx\n",
                   Delivered, Status);
    }
    CompleteRequest(Irp, Status, NT_SUCCESS(Status) ? Delivered : 0);
    if (!NT_SUCCESS(Status)) {
        DebugPrint(3, DBG_READ, "ReadWrite.c: HandleReadIrp EXIT = 0x%lX\n", Status);
    }
    IoReleaseRemoveLock(&DeviceExtension->RequestLock, TESMO_LOCK_TAG);
    return Status;
}

}  // extern "C"
