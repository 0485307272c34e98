// Read, write, device-control and flush requests of applications, their
// completion (the platform's I/O completion: buffered output copied back,
// status block written, event set, file object released) and cancellation.
#include <algorithm>
#include <cstring>

#include "Kernel.h"

namespace emu::detail {

namespace {

constexpr NTSTATUS kStatusAccessViolation = static_cast<NTSTATUS>(0xC0000005);

// What one call asks of the driver.
struct Transfer {
    UCHAR major;
    ULONG controlCode = 0;
    const void* input = nullptr;
    ULONG inputLength = 0;
    void* output = nullptr;
    ULONG outputLength = 0;
    LONGLONG byteOffset = 0;
};

bool Granted(const FileRecord* file, const Transfer& transfer)
{
    constexpr ACCESS_MASK kWriteRights = io::kFileWriteData | io::kFileAppendData;
    switch (transfer.major) {
    case IRP_MJ_READ: return (file->access & io::kFileReadData) != 0;
    case IRP_MJ_WRITE:
    case IRP_MJ_FLUSH_BUFFERS: return (file->access & kWriteRights) != 0;
    case IRP_MJ_DEVICE_CONTROL: {
        ULONG required = (transfer.controlCode >> 14) & 3;
        if ((required & FILE_READ_ACCESS) && !(file->access & io::kFileReadData)) return false;
        if ((required & FILE_WRITE_ACCESS) && !(file->access & io::kFileWriteData)) return false;
        return true;
    }
    default: return true;
    }
}

// User buffers are probed as the platform probes them: a missing buffer
// with a length is an access violation.
bool BuffersPresent(const Transfer& transfer)
{
    return (transfer.input || transfer.inputLength == 0) && (transfer.output || transfer.outputLength == 0);
}

void SetOutputLimit(PIRP irp, ULONG limit)
{
    IrpPrivate* p = PrivateOf(irp, "SetOutputLimit");
    p->hasOutputLimit = true;
    p->outputLimit = limit;
}

// Fills the stack location and the buffers. STATUS_INVALID_DEVICE_REQUEST
// for what is not modelled; STATUS_INVALID_PARAMETER, before any buffer is
// touched, for a system buffer longer than io::kMaxBufferedLength.
NTSTATUS Prepare(IssuedRequest& request, PDEVICE_OBJECT target, const Transfer& transfer)
{
    PIRP irp = request.irp;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    const bool bufferedDevice = (target->Flags & DO_BUFFERED_IO) != 0;
    const bool directDevice = (target->Flags & DO_DIRECT_IO) != 0;
    switch (transfer.major) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
        const bool read = transfer.major == IRP_MJ_READ;
        ULONG length = read ? transfer.outputLength : transfer.inputLength;
        if (read) {
            sp->Parameters.Read.Length = length;
            sp->Parameters.Read.ByteOffset.QuadPart = transfer.byteOffset;
        } else {
            sp->Parameters.Write.Length = length;
            sp->Parameters.Write.ByteOffset.QuadPart = transfer.byteOffset;
        }
        irp->UserBuffer = read ? transfer.output : const_cast<void*>(transfer.input);
        if (directDevice) {
            Violation(Rule::NotModelled, irp, "a read or write on a DO_DIRECT_IO device (MDLs are not modelled)");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (bufferedDevice && length > io::kMaxBufferedLength) return STATUS_INVALID_PARAMETER;
        if (bufferedDevice) {
            irp->Flags |= IRP_BUFFERED_IO;
            request.systemBuffer = AttachSystemBuffer(irp, transfer.input, read ? 0 : length, length, read);
            request.copyOut = read;
        }
        request.userBuffer = transfer.output;
        request.userLength = length;
        SetOutputLimit(irp, length);
        return STATUS_SUCCESS;
    }
    case IRP_MJ_DEVICE_CONTROL: {
        sp->Parameters.DeviceIoControl.IoControlCode = transfer.controlCode;
        sp->Parameters.DeviceIoControl.InputBufferLength = transfer.inputLength;
        sp->Parameters.DeviceIoControl.OutputBufferLength = transfer.outputLength;
        irp->UserBuffer = transfer.output;
        switch (METHOD_FROM_CTL_CODE(transfer.controlCode)) {
        case METHOD_BUFFERED: {
            ULONG size = std::max(transfer.inputLength, transfer.outputLength);
            if (size > io::kMaxBufferedLength) return STATUS_INVALID_PARAMETER;
            request.systemBuffer =
                AttachSystemBuffer(irp, transfer.input, transfer.inputLength, size, transfer.outputLength != 0);
            request.copyOut = transfer.outputLength != 0;
            break;
        }
        case METHOD_NEITHER: sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(transfer.input); break;
        default:
            Violation(Rule::NotModelled, irp, "a device control with a direct-I/O method (MDLs are not modelled)");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        request.userBuffer = transfer.output;
        request.userLength = transfer.outputLength;
        SetOutputLimit(irp, transfer.outputLength);
        return STATUS_SUCCESS;
    }
    case IRP_MJ_FLUSH_BUFFERS: return STATUS_SUCCESS;
    default: return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// The platform's I/O completion for a request of this path. Runs in the
// completing thread, at up to DISPATCH_LEVEL.
void CompleteUserRequest(IssuedRequest& request, PIRP irp)
{
    UserIo& userIo = K().userIo;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    if (request.copyOut && !NT_ERROR(status) && request.systemBuffer) {
        std::size_t bytes = std::min<std::size_t>(information, request.userLength);  // never past the caller's buffer
        std::memcpy(request.userBuffer, request.systemBuffer.get(), bytes);
    }
    irp->AssociatedIrp.SystemBuffer = nullptr;
    request.systemBuffer.reset();

    FileRecord* file = request.file;
    const bool pended = irp->PendingReturned != FALSE;
    {
        std::lock_guard lock(userIo.mutex);
        file->pending.remove(&request);
        request.irp = nullptr;
    }
    // A failure that did not pend is only returned to the caller; anything
    // else is reported through the status block and the events.
    if (!NT_ERROR(status) || (pended && !file->synchronous)) {
        if (request.statusBlock) {
            request.statusBlock->Information = information;
            __atomic_store_n(&request.statusBlock->Status, status, __ATOMIC_RELEASE);
        }
        if (request.event) KeSetEvent(&request.event->event, IO_NO_INCREMENT, FALSE);
        if (file->synchronous || !request.event) {
            file->finalStatus = status;
            KeSetEvent(&file->object.Event, IO_NO_INCREMENT, FALSE);
        }
    } else if (file->synchronous) {
        // A synchronous caller only waits when the request pended; setting
        // the event in any case keeps a driver that returned STATUS_PENDING
        // without marking the IRP (already a violation) from hanging it.
        file->finalStatus = status;
        KeSetEvent(&file->object.Event, IO_NO_INCREMENT, FALSE);
    }
    userIo.DereferenceFile(file, false);
}

NTSTATUS Issue(io::Handle fileHandle, io::Handle eventHandle, io::StatusBlock* statusBlock, const Transfer& transfer)
{
    ApiScope scope;
    UserIo& userIo = K().userIo;
    FileRecord* file = nullptr;
    NTSTATUS status = userIo.ReferenceFile(fileHandle, &file);
    if (!NT_SUCCESS(status)) return status;
    std::shared_ptr<EventObject> event;
    if (eventHandle) status = userIo.ReferenceEvent(eventHandle, &event);
    if (NT_SUCCESS(status) && !Granted(file, transfer)) status = STATUS_ACCESS_DENIED;
    if (NT_SUCCESS(status) && !BuffersPresent(transfer)) status = kStatusAccessViolation;
    if (!NT_SUCCESS(status)) {
        userIo.DereferenceFile(file, true);
        return status;
    }

    if (file->synchronous) KeWaitForSingleObject(&file->lock, Executive, KernelMode, FALSE, nullptr);
    if (event) KeClearEvent(&event->event);
    KeClearEvent(&file->object.Event);

    auto request = std::make_shared<IssuedRequest>();
    UserIrp built = BuildUserIrp(file, transfer.major);
    request->irp = built.irp;
    status = Prepare(*request, built.target, transfer);
    if (NT_SUCCESS(status)) {
        request->file = file;
        request->thread = &Self();
        request->statusBlock = reinterpret_cast<IO_STATUS_BLOCK*>(statusBlock);
        request->event = event;
        std::lock_guard lock(userIo.mutex);
        if (userIo.requestsEnded) {
            status = STATUS_CANCELLED;
        } else {
            file->pending.push_back(request.get());
            ++file->references;
        }
    }
    if (!NT_SUCCESS(status)) {
        DereferenceIrp(built.irp);  // never sent: released unused
    } else {
        PrivateOf(built.irp, "Issue")->onFinished = [request](PIRP irp) { CompleteUserRequest(*request, irp); };
        status = IoCallDriver(built.target, built.irp);
        if (file->synchronous && status == STATUS_PENDING) {
            KeWaitForSingleObject(&file->object.Event, Executive, KernelMode, FALSE, nullptr);
            status = file->finalStatus;
        }
    }
    if (file->synchronous) KeSetEvent(&file->lock, IO_NO_INCREMENT, FALSE);
    userIo.DereferenceFile(file, true);
    return status;
}

// Cancels the file's pending requests that `matches` picks; false when none.
template <typename Match>
bool CancelMatching(FileRecord* file, Match matches)
{
    UserIo& userIo = K().userIo;
    std::vector<PIRP> irps;
    {
        std::lock_guard lock(userIo.mutex);
        for (IssuedRequest* request : file->pending) {
            if (!request->irp || !matches(*request)) continue;
            ReferenceIrp(request->irp);  // completion may release it while we cancel
            irps.push_back(request->irp);
        }
    }
    for (PIRP irp : irps) {
        IoCancelIrp(irp);
        DereferenceIrp(irp);
    }
    return !irps.empty();
}

void WriteStatusBlock(io::StatusBlock* block, NTSTATUS status)
{
    if (!block) return;
    block->information = 0;
    block->status = status;
}

}  // namespace

void UserIo::EndRequests()
{
    std::vector<FileRecord*> files;
    {
        std::lock_guard lock(mutex);
        requestsEnded = true;
        for (FileRecord* file : files_) {
            ++file->references;  // kept while its requests are cancelled
            files.push_back(file);
        }
    }
    for (FileRecord* file : files) {
        CancelMatching(file, [](const IssuedRequest&) { return true; });
        DereferenceFile(file, true);
    }
}

static_assert(sizeof(io::StatusBlock) == sizeof(IO_STATUS_BLOCK));
static_assert(offsetof(io::StatusBlock, information) == offsetof(IO_STATUS_BLOCK, Information));

}  // namespace emu::detail

namespace emu::io {

using namespace emu::detail;

Status ReadFile(Handle file, Handle event, StatusBlock* statusBlock, void* buffer, std::uint32_t length,
                std::int64_t byteOffset)
{
    Transfer transfer{IRP_MJ_READ};
    transfer.output = buffer;
    transfer.outputLength = length;
    transfer.byteOffset = byteOffset;
    return Issue(file, event, statusBlock, transfer);
}

Status WriteFile(Handle file, Handle event, StatusBlock* statusBlock, const void* buffer, std::uint32_t length,
                 std::int64_t byteOffset)
{
    Transfer transfer{IRP_MJ_WRITE};
    transfer.input = buffer;
    transfer.inputLength = length;
    transfer.byteOffset = byteOffset;
    return Issue(file, event, statusBlock, transfer);
}

Status DeviceIoControlFile(Handle file, Handle event, StatusBlock* statusBlock, std::uint32_t controlCode,
                           const void* input, std::uint32_t inputLength, void* output, std::uint32_t outputLength)
{
    Transfer transfer{IRP_MJ_DEVICE_CONTROL};
    transfer.controlCode = controlCode;
    transfer.input = input;
    transfer.inputLength = inputLength;
    transfer.output = output;
    transfer.outputLength = outputLength;
    return Issue(file, event, statusBlock, transfer);
}

Status FlushBuffersFile(Handle file, StatusBlock* statusBlock)
{
    return Issue(file, 0, statusBlock, Transfer{IRP_MJ_FLUSH_BUFFERS});
}

Status CancelIoFile(Handle file, StatusBlock* statusBlock)
{
    ApiScope scope;
    FileRecord* record = nullptr;
    NTSTATUS status = K().userIo.ReferenceFile(file, &record);
    if (!NT_SUCCESS(status)) return status;
    const void* self = &Self();
    CancelMatching(record, [self](const IssuedRequest& request) { return request.thread == self; });
    K().userIo.DereferenceFile(record, true);
    WriteStatusBlock(statusBlock, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

Status CancelIoFileEx(Handle file, const StatusBlock* request, StatusBlock* statusBlock)
{
    ApiScope scope;
    FileRecord* record = nullptr;
    NTSTATUS status = K().userIo.ReferenceFile(file, &record);
    if (!NT_SUCCESS(status)) return status;
    auto* wanted = reinterpret_cast<const IO_STATUS_BLOCK*>(request);
    bool found = CancelMatching(
        record, [wanted](const IssuedRequest& pending) { return !wanted || pending.statusBlock == wanted; });
    K().userIo.DereferenceFile(record, true);
    status = found ? STATUS_SUCCESS : STATUS_NOT_FOUND;
    WriteStatusBlock(statusBlock, status);
    return status;
}

}  // namespace emu::io
