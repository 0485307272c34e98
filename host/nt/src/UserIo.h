// The I/O manager's user-request path, private side: the file objects that
// applications have open, the requests they have in flight, the process
// handle table, and the bookkeeping of open files per device. The public
// calls are in emu/Io.h; they are implemented in FileObjects.cpp (open,
// close), UserRequests.cpp (read, write, control, cancel) and UserEvents.cpp
// (events, waits).
//
// Locking: UserIo::mutex guards the handle table, every FileRecord's counts
// and pending list, and the open counts of device objects. It is never held
// while calling a driver, and never taken while the I/O manager's own mutex
// (IoManager::mutex) is held; the other order is allowed.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "HandleTable.h"
#include "emu/Io.h"
#include "emu/Threads.h"
#include "emu_ntddk.h"

namespace emu::detail {

// Platform values the DDK header of the emulation does not declare.
constexpr ULONG kIrpSynchronousApi = 0x00000004;
constexpr ULONG kIrpCreateOperation = 0x00000080;
constexpr ULONG kIrpCloseOperation = 0x00000400;
constexpr ULONG kFoSynchronousIo = 0x00000002;
constexpr ULONG kFoCleanupComplete = 0x00004000;
constexpr ULONG kFoHandleCreated = 0x00040000;
constexpr CSHORT kIoTypeFile = 5;

// Layout of the platform's IO_SECURITY_CONTEXT, which IRP_MJ_CREATE points at.
struct SecurityContext {
    PVOID SecurityQos = nullptr;
    PVOID AccessState = nullptr;
    ACCESS_MASK DesiredAccess = 0;
    ULONG FullCreateOptions = 0;
};

struct IssuedRequest;

// A file object and what the I/O manager keeps beside it.
struct FileRecord {
    FILE_OBJECT object{};             // what drivers see; object.Event is the file's event
    PDEVICE_OBJECT device = nullptr;  // the named device; referenced while the record lives
    std::u16string openedAs;          // the name the application gave
    std::u16string fileName;          // storage behind object.FileName (the path below the device)
    SecurityContext security;
    ACCESS_MASK access = 0;  // granted rights, generic rights mapped
    bool synchronous = false;
    KEVENT lock{};                          // serialises I/O on a synchronous file object (signalled = free)
    NTSTATUS finalStatus = STATUS_SUCCESS;  // written before object.Event is set
    // Guarded by UserIo::mutex.
    int handles = 0;
    int references = 0;  // handles, calls in progress, requests in flight
    std::list<IssuedRequest*> pending;
};

// One request this path sent; owned by its IRP's completion callback.
struct IssuedRequest {
    FileRecord* file = nullptr;
    PIRP irp = nullptr;            // valid while the request is in file->pending
    const void* thread = nullptr;  // the issuing thread, for CancelIo
    IO_STATUS_BLOCK* statusBlock = nullptr;
    std::shared_ptr<EventObject> event;
    std::unique_ptr<UCHAR[]> systemBuffer;
    void* userBuffer = nullptr;  // where buffered output goes
    ULONG userLength = 0;
    bool copyOut = false;
};

class UserIo {
public:
    UserIo();
    ~UserIo();
    UserIo(const UserIo&) = delete;
    UserIo& operator=(const UserIo&) = delete;

    std::mutex mutex;
    HandleTable handles;

    // ---- references for the length of a call (take mutex) ----
    NTSTATUS ReferenceFile(io::Handle handle, FileRecord** file);
    NTSTATUS ReferenceEvent(io::Handle handle, std::shared_ptr<EventObject>* event);
    // Drops a reference. The last one sends IRP_MJ_CLOSE and frees the
    // record: on this thread when `closeHere` and at PASSIVE_LEVEL, otherwise
    // on the object reaper (a system worker), as the platform defers object
    // deletion from completion context.
    void DereferenceFile(FileRecord* file, bool closeHere);

    // ---- file records ----
    FileRecord* NewFile(PDEVICE_OBJECT device);  // one reference, no handle
    // Frees a record whose IRP_MJ_CREATE failed: no IRP_MJ_CLOSE follows.
    void DiscardFile(FileRecord* file);

    // ---- open files per device (take mutex) ----
    // Admits an open of `device` or says why not, without asking a driver;
    // on success the device's open count is raised.
    NTSTATUS AdmitOpen(PDEVICE_OBJECT device);
    void ReleaseOpen(PDEVICE_OBJECT device);
    int OpenFilesOnStack(PDEVICE_OBJECT anyDeviceOfStack);
    void WhenNoOpenFiles(PDEVICE_OBJECT anyDeviceOfStack, std::function<void()> callback);

    // What the platform does with the I/O of a process that exits: cancels
    // every request in flight, and from now on cancels each new request as
    // it is issued (it never reaches a driver).
    void EndRequests();
    bool requestsEnded = false;  // guarded by mutex

    // Waits until every close handed to the reaper has run.
    void FinishCloses();

    // Runs the deferred closes, reports every handle still open as a leak
    // and releases what is left without sending IRPs (the drivers are about
    // to be unloaded).
    void Shutdown();

private:
    struct Waiting {
        PDEVICE_OBJECT device;  // referenced until the callback runs
        std::function<void()> callback;
    };

    void CloseFile(FileRecord* file);  // sends IRP_MJ_CLOSE and frees the record
    void RunCallbacksForEmptyStacks();
    SystemThread& Reaper();

    std::mutex reaperMutex_;
    std::unique_ptr<SystemThread> reaper_;
    std::unordered_set<FileRecord*> files_;  // every live record (guarded by mutex)
    std::vector<Waiting> waiting_;           // guarded by mutex
    // A pass over waiting_ checks the stacks without the mutex: a close that
    // asks for a pass meanwhile makes the running one go round again, so
    // that its stack is not checked too early and then forgotten.
    std::uint64_t passesAsked_ = 0;  // guarded by mutex
    bool passRunning_ = false;       // guarded by mutex
};

// An IRP for a request on `file`, to be sent to `target` (the top of the
// stack of the file's device): the first stack location has the major code
// and the file object; the IRP the thread, the requestor mode and the
// original file object.
struct UserIrp {
    PIRP irp;
    PDEVICE_OBJECT target;
};
UserIrp BuildUserIrp(FileRecord* file, UCHAR major);
// Sends an IRP and waits for its completion whatever the file's mode
// (create, cleanup, close). Returns the final status (or, for a driver that
// returned a status without completing, that status) and fills `information`.
NTSTATUS SendAndWait(const UserIrp& request, ULONG_PTR* information = nullptr);

}  // namespace emu::detail
