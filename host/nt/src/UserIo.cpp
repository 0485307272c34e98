// The user-request path's bookkeeping: references to file objects and
// events, the deferred close, open counts per device and stack, and the
// teardown at shutdown.
#include "UserIo.h"

#include <sstream>

#include "Kernel.h"

namespace emu::detail {

namespace {

std::string HandleText(io::Handle handle)
{
    std::ostringstream out;
    out << "0x" << std::hex << handle;
    return out.str();
}

// The devices of a stack, bottom first (IoManager::mutex held).
std::vector<PDEVICE_OBJECT> StackOf(PDEVICE_OBJECT device)
{
    while (PrivateOf(device)->attachedTo) device = PrivateOf(device)->attachedTo;
    std::vector<PDEVICE_OBJECT> stack;
    for (; device; device = device->AttachedDevice) stack.push_back(device);
    return stack;
}

}  // namespace

UserIo::UserIo() = default;

UserIo::~UserIo()
{
    for (FileRecord* file : files_) delete file;
}

NTSTATUS UserIo::ReferenceFile(io::Handle handle, FileRecord** file)
{
    std::lock_guard lock(mutex);
    const HandleTable::Object* object = handles.Find(handle);
    if (!object) return STATUS_INVALID_HANDLE;
    auto* const* record = std::get_if<FileRecord*>(object);
    if (!record) return STATUS_OBJECT_TYPE_MISMATCH;
    ++(*record)->references;
    *file = *record;
    return STATUS_SUCCESS;
}

NTSTATUS UserIo::ReferenceEvent(io::Handle handle, std::shared_ptr<EventObject>* event)
{
    std::lock_guard lock(mutex);
    const HandleTable::Object* object = handles.Find(handle);
    if (!object) return STATUS_INVALID_HANDLE;
    auto* record = std::get_if<std::shared_ptr<EventObject>>(object);
    if (!record) return STATUS_OBJECT_TYPE_MISMATCH;
    *event = *record;
    return STATUS_SUCCESS;
}

void UserIo::DereferenceFile(FileRecord* file, bool closeHere)
{
    {
        std::lock_guard lock(mutex);
        if (--file->references > 0) return;
        files_.erase(file);
    }
    if (closeHere && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        CloseFile(file);
    } else {
        Reaper().Post([this, file] { CloseFile(file); });
    }
}

FileRecord* UserIo::NewFile(PDEVICE_OBJECT device)
{
    auto* file = new FileRecord;
    file->device = device;
    file->references = 1;
    file->object.Type = kIoTypeFile;
    file->object.Size = sizeof(FILE_OBJECT);
    file->object.DeviceObject = device;
    KeInitializeEvent(&file->object.Event, NotificationEvent, FALSE);
    KeInitializeEvent(&file->lock, SynchronizationEvent, TRUE);
    std::lock_guard lock(mutex);
    files_.insert(file);
    return file;
}

void UserIo::DiscardFile(FileRecord* file)
{
    {
        std::lock_guard lock(mutex);
        files_.erase(file);
    }
    ReleaseOpen(file->device);
    ObDereferenceObject(file->device);
    delete file;
}

void UserIo::CloseFile(FileRecord* file)
{
    UserIrp request = BuildUserIrp(file, IRP_MJ_CLOSE);
    request.irp->Flags |= kIrpCloseOperation | kIrpSynchronousApi;
    SendAndWait(request);  // the platform ignores what a driver answers to a close
    ReleaseOpen(file->device);
    ObDereferenceObject(file->device);
    delete file;
}

NTSTATUS UserIo::AdmitOpen(PDEVICE_OBJECT device)
{
    std::vector<PDEVICE_OBJECT> stack;
    {
        std::lock_guard lock(K().io.mutex);
        stack = StackOf(device);
        for (PDEVICE_OBJECT member : stack) {
            DevicePrivate* p = PrivateOf(member);
            if (p->removalPending || p->surpriseRemoved) return STATUS_NO_SUCH_DEVICE;
        }
        if (PrivateOf(device)->deletePending || (device->Flags & DO_DEVICE_INITIALIZING)) {
            return STATUS_NO_SUCH_DEVICE;
        }
    }
    std::lock_guard lock(mutex);
    DevicePrivate* p = PrivateOf(device);
    if ((device->Flags & DO_EXCLUSIVE) && p->openHandles != 0) return STATUS_ACCESS_DENIED;
    __atomic_store_n(&device->ReferenceCount, ++p->openHandles, __ATOMIC_RELEASE);
    return STATUS_SUCCESS;
}

void UserIo::ReleaseOpen(PDEVICE_OBJECT device)
{
    {
        std::lock_guard lock(mutex);
        DevicePrivate* p = PrivateOf(device);
        __atomic_store_n(&device->ReferenceCount, --p->openHandles, __ATOMIC_RELEASE);
    }
    NotifyStateChanged();
    RunCallbacksForEmptyStacks();
}

int UserIo::OpenFilesOnStack(PDEVICE_OBJECT anyDeviceOfStack)
{
    // ReferenceCount mirrors the count kept under `mutex`, which may not be
    // taken inside IoManager::mutex.
    std::lock_guard ioLock(K().io.mutex);
    int open = 0;
    for (PDEVICE_OBJECT member : StackOf(anyDeviceOfStack)) {
        open += __atomic_load_n(&member->ReferenceCount, __ATOMIC_ACQUIRE);
    }
    return open;
}

void UserIo::WhenNoOpenFiles(PDEVICE_OBJECT anyDeviceOfStack, std::function<void()> callback)
{
    ObReferenceObject(anyDeviceOfStack);
    {
        std::lock_guard lock(mutex);
        waiting_.push_back(Waiting{anyDeviceOfStack, std::move(callback)});
    }
    RunCallbacksForEmptyStacks();
}

void UserIo::RunCallbacksForEmptyStacks()
{
    std::unique_lock lock(mutex);
    ++passesAsked_;
    if (passRunning_) return;  // the running pass goes round once more
    passRunning_ = true;
    for (;;) {
        const std::uint64_t asked = passesAsked_;
        std::vector<Waiting> candidates = std::move(waiting_);
        waiting_.clear();
        lock.unlock();
        std::vector<Waiting> due;
        std::vector<Waiting> keep;
        for (Waiting& w : candidates) (OpenFilesOnStack(w.device) == 0 ? due : keep).push_back(std::move(w));
        for (Waiting& w : due) {
            w.callback();
            ObDereferenceObject(w.device);
        }
        lock.lock();
        for (Waiting& w : keep) waiting_.push_back(std::move(w));
        if (passesAsked_ == asked) break;
    }
    passRunning_ = false;
}

SystemThread& UserIo::Reaper()
{
    std::lock_guard lock(reaperMutex_);
    if (!reaper_) reaper_ = std::make_unique<SystemThread>("object reaper");
    return *reaper_;
}

void UserIo::FinishCloses()
{
    SystemThread* reaper = nullptr;
    {
        std::lock_guard lock(reaperMutex_);
        reaper = reaper_.get();
    }
    if (reaper) reaper->Drain();
}

void UserIo::Shutdown()
{
    {
        std::lock_guard lock(reaperMutex_);
        if (reaper_) reaper_->Drain();
    }
    std::vector<std::pair<io::Handle, HandleTable::Object>> leaked;
    std::vector<FileRecord*> files;
    std::vector<Waiting> waiting;
    {
        std::lock_guard lock(mutex);
        leaked = handles.TakeAll();
        files.assign(files_.begin(), files_.end());
        files_.clear();
        waiting = std::move(waiting_);
        waiting_.clear();
    }
    for (auto& [handle, object] : leaked) {
        std::string what = "event";
        if (auto* file = std::get_if<FileRecord*>(&object)) what = "file " + Narrow((*file)->openedAs);
        K().verifier.ReportApplicationMistake(Rule::HandleLeak, "handle " + HandleText(handle) + " (" + what +
                                                                    ") is still open at shutdown");
    }
    for (FileRecord* file : files) {
        {
            std::lock_guard lock(mutex);
            DevicePrivate* p = PrivateOf(file->device);
            __atomic_store_n(&file->device->ReferenceCount, --p->openHandles, __ATOMIC_RELEASE);
        }
        ObDereferenceObject(file->device);
        delete file;
    }
    for (Waiting& w : waiting) ObDereferenceObject(w.device);
    std::lock_guard lock(reaperMutex_);
    reaper_.reset();
}

}  // namespace emu::detail
