// Opening and closing files: name lookup, the I/O manager's admission checks
// (exclusive devices, stacks being removed), IRP_MJ_CREATE, IRP_MJ_CLEANUP
// and IRP_MJ_CLOSE, and the public view of open files per device.
#include <memory>

#include "Kernel.h"
#include "emu/Devices.h"

namespace emu::detail {

namespace {

// The platform's generic mapping for files.
ACCESS_MASK MapGenericAccess(ACCESS_MASK access)
{
    constexpr ACCESS_MASK kFileGenericRead = 0x00120089;
    constexpr ACCESS_MASK kFileGenericWrite = 0x00120116;
    constexpr ACCESS_MASK kFileGenericExecute = 0x001200A0;
    constexpr ACCESS_MASK kFileAllAccess = 0x001F01FF;
    ACCESS_MASK mapped = access & 0x0FFFFFFF;
    if (access & io::kGenericRead) mapped |= kFileGenericRead;
    if (access & io::kGenericWrite) mapped |= kFileGenericWrite;
    if (access & io::kGenericExecute) mapped |= kFileGenericExecute;
    if (access & io::kGenericAll) mapped |= kFileAllAccess;
    return mapped;
}

void WriteStatusBlock(io::StatusBlock* block, NTSTATUS status, ULONG_PTR information)
{
    if (!block) return;
    block->information = information;
    __atomic_store_n(&block->status, status, __ATOMIC_RELEASE);
}

}  // namespace

UserIrp BuildUserIrp(FileRecord* file, UCHAR major)
{
    PDEVICE_OBJECT target = emu::TopOfStack(file->device);
    PIRP irp = AllocateIrp(target->StackSize, IrpOrigin::IoManager);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = &Self();
    irp->Tail.Overlay.OriginalFileObject = &file->object;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->FileObject = &file->object;
    return UserIrp{irp, target};
}

NTSTATUS SendAndWait(const UserIrp& request, ULONG_PTR* information)
{
    struct Outcome {
        KEVENT done;
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR information = 0;
    };
    // Shared with the completion: a driver may complete after a wrong early return.
    auto outcome = std::make_shared<Outcome>();
    KeInitializeEvent(&outcome->done, NotificationEvent, FALSE);
    PrivateOf(request.irp, "SendAndWait")->onFinished = [outcome](PIRP irp) {
        outcome->status = irp->IoStatus.Status;
        outcome->information = irp->IoStatus.Information;
        KeSetEvent(&outcome->done, IO_NO_INCREMENT, FALSE);
    };
    NTSTATUS status = IoCallDriver(request.target, request.irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&outcome->done, Executive, KernelMode, FALSE, nullptr);
    if (KeReadStateEvent(&outcome->done)) {
        status = outcome->status;
        if (information) *information = outcome->information;
    }
    return status;
}

}  // namespace emu::detail

namespace emu::io {

using namespace emu::detail;

Status OpenFile(const OpenParameters& parameters, Handle* handle, StatusBlock* statusBlock)
{
    ApiScope scope;
    Kernel& kernel = K();
    *handle = 0;
    ObjectNamespace::Resolution found = kernel.names.Resolve(parameters.name);
    if (!NT_SUCCESS(found.status)) return found.status;
    NTSTATUS status = kernel.userIo.AdmitOpen(found.device);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(found.device);
        return status;
    }

    FileRecord* file = kernel.userIo.NewFile(found.device);
    file->openedAs = parameters.name;
    file->fileName = found.remainder;
    if (!file->fileName.empty()) {
        auto bytes = static_cast<USHORT>(file->fileName.size() * sizeof(WCHAR));
        file->object.FileName = UNICODE_STRING{bytes, bytes, file->fileName.data()};
    }
    file->access = MapGenericAccess(parameters.desiredAccess);
    file->synchronous = (parameters.options & kSynchronousIo) != 0;
    file->object.Flags = file->synchronous ? kFoSynchronousIo : 0;
    file->object.ReadAccess = (file->access & kFileReadData) ? TRUE : FALSE;
    file->object.WriteAccess = (file->access & (kFileWriteData | kFileAppendData)) ? TRUE : FALSE;
    file->security.DesiredAccess = file->access;
    file->security.FullCreateOptions = parameters.options;

    UserIrp request = BuildUserIrp(file, IRP_MJ_CREATE);
    request.irp->Flags |= kIrpCreateOperation | kIrpSynchronousApi;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(request.irp);
    sp->Parameters.Create.SecurityContext = &file->security;
    sp->Parameters.Create.Options = (parameters.disposition << 24) | (parameters.options & 0x00FFFFFF);
    sp->Parameters.Create.FileAttributes = static_cast<USHORT>(parameters.attributes);
    sp->Parameters.Create.ShareAccess = static_cast<USHORT>(parameters.shareAccess);
    ULONG_PTR information = 0;
    status = SendAndWait(request, &information);
    if (!NT_SUCCESS(status)) {
        kernel.userIo.DiscardFile(file);  // a failed create gets no cleanup and no close
        return status;
    }
    file->object.Flags |= kFoHandleCreated;
    {
        std::lock_guard lock(kernel.userIo.mutex);
        file->handles = 1;
        *handle = kernel.userIo.handles.Insert(file);
    }
    WriteStatusBlock(statusBlock, status, information);
    return status;
}

Status Close(Handle handle)
{
    ApiScope scope;
    UserIo& userIo = K().userIo;
    std::optional<HandleTable::Object> object;
    {
        std::lock_guard lock(userIo.mutex);
        object = userIo.handles.Remove(handle);
    }
    if (!object) return STATUS_INVALID_HANDLE;
    auto* record = std::get_if<FileRecord*>(&*object);
    if (!record) return STATUS_SUCCESS;  // an event: the last reference frees it
    FileRecord* file = *record;
    bool lastHandle;
    {
        std::lock_guard lock(userIo.mutex);
        lastHandle = --file->handles == 0;
    }
    if (lastHandle) {
        // Cleanup on a synchronous file object waits for the I/O in progress.
        if (file->synchronous) KeWaitForSingleObject(&file->lock, Executive, KernelMode, FALSE, nullptr);
        UserIrp request = BuildUserIrp(file, IRP_MJ_CLEANUP);
        request.irp->Flags |= kIrpCloseOperation | kIrpSynchronousApi;
        SendAndWait(request);
        file->object.Flags |= kFoCleanupComplete;
        if (file->synchronous) KeSetEvent(&file->lock, IO_NO_INCREMENT, FALSE);
    }
    userIo.DereferenceFile(file, true);
    return STATUS_SUCCESS;
}

std::size_t OpenHandleCount()
{
    UserIo& userIo = K().userIo;
    std::lock_guard lock(userIo.mutex);
    return userIo.handles.Count();
}

_FILE_OBJECT* FileObjectOf(Handle file)
{
    UserIo& userIo = K().userIo;
    std::lock_guard lock(userIo.mutex);
    const HandleTable::Object* object = userIo.handles.Find(file);
    auto* const* record = object ? std::get_if<FileRecord*>(object) : nullptr;
    return record ? &(*record)->object : nullptr;
}

int OpenFileCount(_DEVICE_OBJECT* anyDeviceOfStack) { return K().userIo.OpenFilesOnStack(anyDeviceOfStack); }

void WhenNoOpenFiles(_DEVICE_OBJECT* anyDeviceOfStack, std::function<void()> callback)
{
    K().userIo.WhenNoOpenFiles(anyDeviceOfStack, std::move(callback));
}

void SetRemovalPending(_DEVICE_OBJECT* anyDeviceOfStack, bool pending)
{
    std::lock_guard lock(K().io.mutex);
    PDEVICE_OBJECT device = anyDeviceOfStack;
    while (PrivateOf(device)->attachedTo) device = PrivateOf(device)->attachedTo;
    for (; device; device = device->AttachedDevice) PrivateOf(device)->removalPending = pending;
}

}  // namespace emu::io
