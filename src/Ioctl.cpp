// The serial I/O-control emulation: the driver answers the serial port
// requests itself, keeping emulated settings, and offers four private codes
// for the USB descriptors and recovery.
#include "Ioctl.h"

#include "DebugPrint.h"
#include "EventLog.h"
#include "Queue.h"
#include "SerialSettings.h"
#include "Tesmo.h"
#include "TesmoIoctl.h"
#include "Usb.h"

extern "C" {

SERIAL_SETTINGS SerialSettings = {
    0x00020000,                                  // BaudRate
    {STOP_BIT_1, NO_PARITY, 8},                  // LineControl
    {SERIAL_DTR_CONTROL | SERIAL_DSR_HANDSHAKE,  // HandFlow
     SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_BREAK_CHAR, 1, 64},
    {0, 0},              // QueueSize
    0,                   // WaitMask
    0,                   // ModemControl
    0,                   // FifoControl
    0,                   // ModemStatus
    {0, 0, 0, 0, 0},     // Timeouts
    {0, 0, 0, 0, 0, 0},  // Chars
};
KSPIN_LOCK SerialSettingsLock = 0;

#define WAIT_MASK_INVALID 0xFFFFE000
#define PURGE_MASK_VALID 0x0000000F
#define READ_AHEAD_TIMEOUT_CONSTANT 5000000
// The status query's read-ahead takes a packet only if one comes within 2 ms,
// so that polling the status before every read never stalls an application.
#define READ_AHEAD_WAIT_LIMIT (-2LL * 10000)
#define COMMPROP_SIZE 64
#define COMMPROP_VERSION 2
#define SETTABLE_BAUD_RATES 0x1007FFFF

// Copies between the shared settings and a request under the settings lock.
static VOID ReadSetting(PVOID Destination, const VOID* Setting, ULONG Length)
{
    KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&SerialSettingsLock);
    RtlCopyMemory(Destination, Setting, Length);
    KeReleaseSpinLock(&SerialSettingsLock, OldIrql);
}

static VOID WriteSetting(PVOID Setting, const VOID* Source, ULONG Length)
{
    KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&SerialSettingsLock);
    RtlCopyMemory(Setting, Source, Length);
    KeReleaseSpinLock(&SerialSettingsLock, OldIrql);
}

// The lengths a request brings and the buffer they share.
typedef struct _IOCTL_REQUEST {
    PIRP Irp;
    PUCHAR Buffer;
    ULONG In;
    ULONG Out;
} IOCTL_REQUEST;

// Returns a stored setting: needs `Length` bytes of output.
static TESMO_PAGED NTSTATUS GetSetting(IOCTL_REQUEST* Request, const VOID* Setting, ULONG Length)
{
    PAGED_CODE();
    if (Request->Out < Length) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ReadSetting(Request->Buffer, Setting, Length);
    Request->Irp->IoStatus.Information = Length;
    return STATUS_SUCCESS;
}

// Stores a setting as it comes: needs `Length` bytes of input.
static TESMO_PAGED NTSTATUS SetSetting(IOCTL_REQUEST* Request, PVOID Setting, ULONG Length)
{
    PAGED_CODE();
    if (Request->In < Length) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    WriteSetting(Setting, Request->Buffer, Length);
    return STATUS_SUCCESS;
}

static TESMO_PAGED NTSTATUS SetTimeouts(PDEVICE_EXTENSION DeviceExtension, IOCTL_REQUEST* Request)
{
    SERIAL_TIMEOUTS Timeouts;

    PAGED_CODE();
    if (Request->In < sizeof(SERIAL_TIMEOUTS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(&Timeouts, Request->Buffer, sizeof(Timeouts));
    if (Timeouts.ReadIntervalTimeout == MAXULONG && Timeouts.ReadTotalTimeoutMultiplier == MAXULONG &&
        Timeouts.ReadTotalTimeoutConstant == MAXULONG) {
        return STATUS_INVALID_PARAMETER;
    }
    WriteSetting(&SerialSettings.Timeouts, &Timeouts, sizeof(Timeouts));
    DebugPrint(5, DBG_IOCTL,
               "Ioctl.c: IOCTL_SERIAL_SET_TIMEOUTS: ReadIntervalTimeout = 0x%lX ReadTotalTimeoutMultiplier = 0x%lX "
               "ReadTotalTimeoutConstant = 0x%lX\n",
               Timeouts.ReadIntervalTimeout, Timeouts.ReadTotalTimeoutMultiplier, Timeouts.ReadTotalTimeoutConstant);
    WriteSharedULong(&DeviceExtension->ReadIntervalTimeout, Timeouts.ReadIntervalTimeout);
    WriteSharedULong(&DeviceExtension->ReadTotalTimeoutMultiplier, Timeouts.ReadTotalTimeoutMultiplier);
    WriteSharedULong(&DeviceExtension->ReadTotalTimeoutConstant, Timeouts.ReadTotalTimeoutConstant);
    return STATUS_SUCCESS;
}

static TESMO_PAGED NTSTATUS SetWaitMask(IOCTL_REQUEST* Request)
{
    ULONG Mask;

    PAGED_CODE();
    if (Request->In < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(&Mask, Request->Buffer, sizeof(Mask));
    if (Mask & WAIT_MASK_INVALID) {
        return STATUS_INVALID_PARAMETER;
    }
    WriteSetting(&SerialSettings.WaitMask, &Mask, sizeof(Mask));
    return STATUS_SUCCESS;
}

// Without a configured IN pipe there is no reassembly buffer to take.
static BOOLEAN HasInPipe(PDEVICE_EXTENSION DeviceExtension)
{
    return (DeviceExtension->ReassemblyBlock != NULL && DeviceExtension->InMaxPacketSize != 0) ? TRUE : FALSE;
}

static TESMO_PAGED NTSTATUS Purge(PDEVICE_EXTENSION DeviceExtension, IOCTL_REQUEST* Request)
{
    ULONG Mask;
    PUCHAR Buffer;

    PAGED_CODE();
    if (Request->In < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(&Mask, Request->Buffer, sizeof(Mask));
    if (Mask == 0 || (Mask & ~PURGE_MASK_VALID) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Mask & SERIAL_PURGE_RXCLEAR) {
        DebugPrint(5, DBG_IOCTL,
                   "Ioctl.c:HandleDeviceControlIrp-IOCTL_SERIAL_PURGE.  Clearing StaticBufferBytes (%ld)\n",
                   TESMO_UNGUARDED_READ(DeviceExtension->StaticBufferBytes,
                                        "a trace of the count before the buffer is taken"));
        if (!HasInPipe(DeviceExtension)) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        Buffer = AcquireDevExtBuffer(DeviceExtension);
        DeviceExtension->StaticBufferOffset = 0;
        DeviceExtension->StaticBufferBytes = 0;
        ReleaseDevExtBuffer(DeviceExtension, Buffer);
    }
    return STATUS_SUCCESS;
}

static TESMO_PAGED NTSTATUS SetHandFlow(IOCTL_REQUEST* Request)
{
    SERIAL_HANDFLOW HandFlow;

    PAGED_CODE();
    if (Request->In < sizeof(SERIAL_HANDFLOW)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(&HandFlow, Request->Buffer, sizeof(HandFlow));
    if ((HandFlow.ControlHandShake & SERIAL_CONTROL_INVALID) || (HandFlow.FlowReplace & SERIAL_FLOW_INVALID) ||
        (HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK || HandFlow.XonLimit < 0 ||
        HandFlow.XoffLimit < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    WriteSetting(&SerialSettings.HandFlow, &HandFlow, sizeof(HandFlow));
    return STATUS_SUCCESS;
}

static TESMO_PAGED NTSTATUS GetCommStatus(PDEVICE_EXTENSION DeviceExtension, IOCTL_REQUEST* Request)
{
    SERIAL_STATUS SerialStatus;
    LARGE_INTEGER ReadAheadLimit;
    PUCHAR Buffer;

    PAGED_CODE();
    if (Request->Out < sizeof(SERIAL_STATUS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!HasInPipe(DeviceExtension)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    RtlZeroMemory(&SerialStatus, sizeof(SerialStatus));
    Buffer = AcquireDevExtBuffer(DeviceExtension);
    if (DeviceExtension->StaticBufferBytes > 0) {
        SerialStatus.AmountInInQueue = DeviceExtension->StaticBufferBytes;
    } else {
        if (ReadSharedULong(&DeviceExtension->ReadTotalTimeoutConstant) == 0) {
            WriteSharedULong(&DeviceExtension->ReadTotalTimeoutConstant, READ_AHEAD_TIMEOUT_CONSTANT);
        }
        DeviceExtension->StaticBufferOffset = 0;
        DeviceExtension->StaticBufferBytes = 0;
        ReadAheadLimit.QuadPart = READ_AHEAD_WAIT_LIMIT;
        // Whatever the packet brought waits for the next read, also when its
        // transfer ended with the wait or with an error: the count says so.
        ReadSinglePacket(DeviceExtension, Buffer, &ReadAheadLimit, &DeviceExtension->StaticBufferBytes);
        SerialStatus.AmountInInQueue = DeviceExtension->StaticBufferBytes;
    }
    ReleaseDevExtBuffer(DeviceExtension, Buffer);
    DebugPrint(5, DBG_IOCTL,
               "Ioctl.c:HandleDeviceControlIrp-IOCTL_SERIAL_GET_COMMSTATUS SerialStatus->AmountInInQueue = 0x%lX\n",
               SerialStatus.AmountInInQueue);
    RtlCopyMemory(Request->Buffer, &SerialStatus, sizeof(SerialStatus));
    Request->Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
    return STATUS_SUCCESS;
}

static TESMO_PAGED NTSTATUS XoffCounter(IOCTL_REQUEST* Request)
{
    SERIAL_XOFF_COUNTER Counter;

    PAGED_CODE();
    if (Request->In < sizeof(SERIAL_XOFF_COUNTER)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(&Counter, Request->Buffer, sizeof(Counter));
    if (Counter.Counter <= 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Request->Irp->IoStatus.Information = 0;
    return STATUS_SUCCESS;
}

static TESMO_PAGED NTSTATUS GetProperties(IOCTL_REQUEST* Request)
{
    PSERIAL_COMMPROP Properties = (PSERIAL_COMMPROP)Request->Buffer;

    PAGED_CODE();
    if (Request->Out < COMMPROP_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlZeroMemory(Properties, COMMPROP_SIZE);
    Properties->PacketLength = COMMPROP_SIZE;
    Properties->PacketVersion = COMMPROP_VERSION;
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    Properties->SettableParams = SERIAL_SP_BAUD;
    Properties->SettableBaud = SETTABLE_BAUD_RATES;
    Properties->SettableStopParity = SERIAL_PARITY_NONE;
    Request->Irp->IoStatus.Information = COMMPROP_SIZE;
    return STATUS_SUCCESS;
}

static TESMO_PAGED NTSTATUS LsrMstInsert(IOCTL_REQUEST* Request)
{
    UCHAR Escape;
    SERIAL_CHARS Chars;
    SERIAL_HANDFLOW HandFlow;

    PAGED_CODE();
    if (Request->In < 1) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    Escape = Request->Buffer[0];
    if (Escape == 0) {
        return STATUS_SUCCESS;
    }
    ReadSetting(&Chars, &SerialSettings.Chars, sizeof(Chars));
    ReadSetting(&HandFlow, &SerialSettings.HandFlow, sizeof(HandFlow));
    if (Escape == Chars.XoffChar || Escape == Chars.XonChar || (HandFlow.FlowReplace & SERIAL_ERROR_CHAR)) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

static TESMO_PAGED NTSTATUS ReturnValue(IOCTL_REQUEST* Request, ULONG Value)
{
    PAGED_CODE();
    if (Request->Out < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(Request->Buffer, &Value, sizeof(Value));
    Request->Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

static TESMO_PAGED NTSTATUS GetStats(IOCTL_REQUEST* Request)
{
    PAGED_CODE();
    if (Request->Out < sizeof(SERIALPERF_STATS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlZeroMemory(Request->Buffer, sizeof(SERIALPERF_STATS));
    Request->Irp->IoStatus.Information = sizeof(SERIALPERF_STATS);
    return STATUS_SUCCESS;
}

static TESMO_PAGED NTSTATUS ReadDeviceDescriptor(PDEVICE_EXTENSION DeviceExtension, IOCTL_REQUEST* Request)
{
    ULONG Length = DeviceExtension->DeviceDescriptor.bLength;

    PAGED_CODE();
    // The device reports bLength; the record holds no more than a device
    // descriptor's 18 bytes, whatever it claims.
    if (Length > sizeof(USB_DEVICE_DESCRIPTOR)) {
        Length = sizeof(USB_DEVICE_DESCRIPTOR);
    }
    if (Request->Out < DeviceExtension->DeviceDescriptor.bLength || Request->Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(Request->Buffer, &DeviceExtension->DeviceDescriptor, Length);
    Request->Irp->IoStatus.Information = Length;
    return STATUS_SUCCESS;
}

// Not pageable: the copy is made under the descriptor's spin lock, so that a
// restart never swaps the block out from under it.
static NTSTATUS ReadConfigDescriptor(PDEVICE_EXTENSION DeviceExtension, IOCTL_REQUEST* Request)
{
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG Length = 0;
    KIRQL OldIrql;

    OldIrql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->DescriptorLock);
    if (DeviceExtension->ConfigurationDescriptor == NULL) {
        Status = STATUS_DEVICE_DATA_ERROR;
    } else if (Request->Out == 0 || Request->Buffer == NULL) {
        Status = STATUS_INVALID_PARAMETER;
    } else {
        // The length that was read into the block, not what its header says now.
        Length = DeviceExtension->ConfigurationDescriptorLength;
        if (Request->Out < Length) {
            Length = Request->Out;
        }
        RtlCopyMemory(Request->Buffer, DeviceExtension->ConfigurationDescriptor, Length);
        Request->Irp->IoStatus.Information = Length;
    }
    KeReleaseSpinLock(&DeviceExtension->DescriptorLock, OldIrql);
    return Status;
}

static TESMO_PAGED NTSTATUS ResetPipeOfFile(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;

    PAGED_CODE();
    if (FileObject == NULL || FileObject->FsContext == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return ResetPipe(DeviceObject, (USBD_PIPE_HANDLE)FileObject->FsContext);
}

// Serves one code; sets Information where the code returns data.
static TESMO_PAGED NTSTATUS ServeControlCode(PDEVICE_OBJECT DeviceObject, ULONG Code, IOCTL_REQUEST* Request)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    PAGED_CODE();
    switch (Code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        return SetSetting(Request, &SerialSettings.BaudRate, sizeof(ULONG));
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        return SetSetting(Request, &SerialSettings.QueueSize, sizeof(SERIAL_QUEUE_SIZE));
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        return SetSetting(Request, &SerialSettings.LineControl, sizeof(SERIAL_LINE_CONTROL));
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
        return STATUS_NOT_IMPLEMENTED;
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        DebugPrint(5, DBG_IOCTL, "Ioctl.c:HandleDeviceControlIrp-IOCTL_SERIAL_IMMEDIATE_CHAR\n");
        return WriteImmediateChar(DeviceExtension, Request->Irp);
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return SetTimeouts(DeviceExtension, Request);
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return GetSetting(Request, &SerialSettings.Timeouts, sizeof(SERIAL_TIMEOUTS));
    case IOCTL_SERIAL_GET_WAIT_MASK:
        return GetSetting(Request, &SerialSettings.WaitMask, sizeof(ULONG));
    case IOCTL_SERIAL_SET_WAIT_MASK:
        return SetWaitMask(Request);
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return Request->Out < sizeof(ULONG) ? STATUS_BUFFER_TOO_SMALL : STATUS_NOT_IMPLEMENTED;
    case IOCTL_SERIAL_PURGE:
        return Purge(DeviceExtension, Request);
    case IOCTL_SERIAL_GET_BAUD_RATE:
        return GetSetting(Request, &SerialSettings.BaudRate, sizeof(ULONG));
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        return GetSetting(Request, &SerialSettings.LineControl, sizeof(SERIAL_LINE_CONTROL));
    case IOCTL_SERIAL_GET_CHARS:
        return GetSetting(Request, &SerialSettings.Chars, sizeof(SERIAL_CHARS));
    case IOCTL_SERIAL_SET_CHARS:
        return SetSetting(Request, &SerialSettings.Chars, sizeof(SERIAL_CHARS));
    case IOCTL_SERIAL_GET_HANDFLOW:
        return GetSetting(Request, &SerialSettings.HandFlow, sizeof(SERIAL_HANDFLOW));
    case IOCTL_SERIAL_SET_HANDFLOW:
        return SetHandFlow(Request);
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        return GetSetting(Request, &SerialSettings.ModemStatus, sizeof(ULONG));
    case IOCTL_SERIAL_GET_COMMSTATUS:
        return GetCommStatus(DeviceExtension, Request);
    case IOCTL_SERIAL_XOFF_COUNTER:
        return XoffCounter(Request);
    case IOCTL_SERIAL_GET_PROPERTIES:
        return GetProperties(Request);
    case IOCTL_SERIAL_GET_DTRRTS:
        return GetSetting(Request, &SerialSettings.ModemControl, sizeof(ULONG));
    case IOCTL_SERIAL_LSRMST_INSERT:
        return LsrMstInsert(Request);
    case IOCTL_SERIAL_CONFIG_SIZE:
        return ReturnValue(Request, 0);
    case IOCTL_SERIAL_GET_STATS:
        return GetStats(Request);
    case IOCTL_SERIAL_CLEAR_STATS:
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
        return GetSetting(Request, &SerialSettings.ModemControl, sizeof(ULONG));
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
        return SetSetting(Request, &SerialSettings.ModemControl, sizeof(ULONG));
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        return SetSetting(Request, &SerialSettings.FifoControl, sizeof(ULONG));
    case IOCTL_READ_DEVICE_DESCRIPTOR:
        return ReadDeviceDescriptor(DeviceExtension, Request);
    case IOCTL_READ_CONFIG_DESCRIPTOR:
        return ReadConfigDescriptor(DeviceExtension, Request);
    case IOCTL_RESET_PARENT_PORT:
        return ResetParentPortIfDeviceNotEnabled(DeviceObject);
    case IOCTL_RESET_PIPE:
        return ResetPipeOfFile(DeviceObject, Request->Irp);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// Resident: the settings it reads and writes are guarded by spin locks, and
// the routines that take them are inlined here.
NTSTATUS HandleDeviceControlIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG Code = Stack->Parameters.DeviceIoControl.IoControlCode;
    IOCTL_REQUEST Request;
    NTSTATUS Status;

    // A removed device's storage may be gone: refuse before touching it.
    if (!NT_SUCCESS(IoAcquireRemoveLock(&DeviceExtension->RequestLock, TESMO_LOCK_TAG))) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    LogEvent(DeviceExtension, "Ioc>", LOG_POINTER(Irp), LOG_UNSIGNED(Code), LOG_STATE(DeviceExtension));

    if (ReadQueueState(DeviceExtension) == HoldRequests) {
        DebugPrint(5, DBG_IOCTL, "Ioctl.c: Queueing IRP 0x%p\n", Irp);
        IoMarkIrpPending(Irp);
        IoCsqInsertIrp(&DeviceExtension->CancelSafeQueue, Irp, NULL);
        // The queue may have been opened or failed, and drained, between the
        // test above and the insertion; then nobody else would take this
        // request out again. The state is read with a full barrier, so that
        // either this read sees the change or the drain after it sees the
        // request.
        if (ReadQueueState(DeviceExtension) != HoldRequests) {
            ProcessQueuedIrps(DeviceExtension);
        }
        Status = STATUS_PENDING;
        goto ReleaseRequestLock;
    }
    if (ReadQueueState(DeviceExtension) == FailRequests) {
        Status = CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
        goto ReleaseRequestLock;
    }

    Status = AcquireRemoveHold(DeviceExtension, "Ioctl.c:HandleDeviceControlIrp-");
    if (!NT_SUCCESS(Status)) {
        CompleteRequest(Irp, Status, 0);
        goto ReleaseRequestLock;
    }

    Request.Irp = Irp;
    Request.Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    Request.In = Stack->Parameters.DeviceIoControl.InputBufferLength;
    Request.Out = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    Status = ServeControlCode(DeviceObject, Code, &Request);

    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseRemoveHold(DeviceExtension, "Ioctl.c: ", "");

ReleaseRequestLock:
    IoReleaseRemoveLock(&DeviceExtension->RequestLock, TESMO_LOCK_TAG);
    return Status;
}

}  // extern "C"
