// The I/O manager's user-request path: what the system services behind an
// application's CreateFile, ReadFile, WriteFile, DeviceIoControl, CancelIo
// and CloseHandle do. Each call builds the IRPs the platform's I/O manager
// builds and sends them to the top of the target device's stack:
//
//  - OpenFile resolves an NT name (\??\COM3, \Device\Tesmo1; symbolic links
//    followed), refuses without asking a driver a second open of an exclusive
//    device (STATUS_ACCESS_DENIED) and opens of a stack that is being removed
//    or was surprise-removed, or of a device still initialising
//    (STATUS_NO_SUCH_DEVICE, as the platform's open checks answer), creates a
//    FILE_OBJECT and sends IRP_MJ_CREATE. A deleted device has lost its name,
//    so opening it fails with STATUS_OBJECT_NAME_NOT_FOUND. The open file
//    object keeps the device object referenced.
//  - Close sends IRP_MJ_CLEANUP when the file object's last handle goes, and
//    IRP_MJ_CLOSE when its last reference goes: at once when no request is in
//    flight, otherwise from a system worker after the last one completes.
//  - Read, Write and DeviceIoControl use the device's buffering method: for
//    DO_BUFFERED_IO and METHOD_BUFFERED a system buffer (bytes the driver has
//    not written read as 0xCD), copied back for IoStatus.Information bytes
//    when the request succeeds; for neither-I/O the caller's own pointers.
//    A driver that reports more bytes than the caller's buffer holds is
//    caught (Rule::InformationExceedsBuffer) and no more than the buffer is
//    copied. A system buffer longer than kMaxBufferedLength is refused with
//    STATUS_INVALID_PARAMETER before the caller's buffer is touched: the
//    emulation cannot probe a buffer as the platform does, so it bounds
//    what it would copy from a length that may not describe the buffer.
//  - On a synchronous file object (opened with kSynchronousIo) requests are
//    serialised and a pending one is waited for; the call returns the final
//    status. Otherwise a pending request returns STATUS_PENDING at once and
//    completion fills the status block and sets the event (or the file
//    object's event when no event was given).
//
// Status blocks follow the platform: a request that fails without pending
// leaves the caller's block and event untouched (the call's result is the
// status); otherwise the block is written and the event set at completion.
//
// Handles live in the system's one process handle table; a handle still open
// at shutdown is reported (Rule::HandleLeak). Timeouts run on the emulated
// clock.
//
// Threads: any application thread at PASSIVE_LEVEL (each call counts the
// thread as runnable, like emu::ApiScope). Thread-safe. The calls block only
// where the platform's would: a synchronous request, a wait, a close that
// has to wait for IRP_MJ_CLEANUP/IRP_MJ_CLOSE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "emu/Clock.h"

struct _DEVICE_OBJECT;
struct _FILE_OBJECT;

namespace emu::io {

using Status = std::int32_t;       // an NTSTATUS
using Handle = std::uintptr_t;     // a handle value of the process; 0 is never one

// The platform's IO_STATUS_BLOCK, which is also the first two members of an
// OVERLAPPED (Internal = status, InternalHigh = information).
struct StatusBlock {
    union {
        Status status;
        void* pointer;
    };
    std::uintptr_t information;
};

// Access rights, create dispositions and create options, with the platform's
// values.
inline constexpr std::uint32_t kGenericRead = 0x80000000;
inline constexpr std::uint32_t kGenericWrite = 0x40000000;
inline constexpr std::uint32_t kGenericExecute = 0x20000000;
inline constexpr std::uint32_t kGenericAll = 0x10000000;
inline constexpr std::uint32_t kFileReadData = 0x0001;
inline constexpr std::uint32_t kFileWriteData = 0x0002;
inline constexpr std::uint32_t kFileAppendData = 0x0004;
inline constexpr std::uint32_t kSynchronize = 0x00100000;

inline constexpr std::uint32_t kFileSupersede = 0;
inline constexpr std::uint32_t kFileOpen = 1;
inline constexpr std::uint32_t kFileCreate = 2;
inline constexpr std::uint32_t kFileOpenIf = 3;
inline constexpr std::uint32_t kFileOverwrite = 4;
inline constexpr std::uint32_t kFileOverwriteIf = 5;

inline constexpr std::uint32_t kSynchronousIo = 0x00000020;  // FILE_SYNCHRONOUS_IO_NONALERT
inline constexpr std::uint32_t kNonDirectoryFile = 0x00000040;

// The longest system buffer of a buffered read, write or METHOD_BUFFERED
// device control (64 MiB, far more than a serial request needs).
inline constexpr std::uint32_t kMaxBufferedLength = 64u << 20;

struct OpenParameters {
    std::u16string name;              // NT name, e.g. u"\\??\\COM3"
    std::uint32_t desiredAccess = 0;  // generic rights are mapped to file rights
    std::uint32_t shareAccess = 0;
    std::uint32_t disposition = kFileOpen;
    std::uint32_t options = 0;        // kSynchronousIo for a synchronous handle
    std::uint32_t attributes = 0;
};

// ---- files ----
Status OpenFile(const OpenParameters& parameters, Handle* handle, StatusBlock* statusBlock);
// Closes a handle of any kind.
Status Close(Handle handle);

// `event` 0 means none; `statusBlock` must stay valid until the request
// completes. A byte offset is passed to the driver as given.
Status ReadFile(Handle file, Handle event, StatusBlock* statusBlock, void* buffer, std::uint32_t length,
                std::int64_t byteOffset = 0);
Status WriteFile(Handle file, Handle event, StatusBlock* statusBlock, const void* buffer, std::uint32_t length,
                 std::int64_t byteOffset = 0);
Status DeviceIoControlFile(Handle file, Handle event, StatusBlock* statusBlock, std::uint32_t controlCode,
                           const void* input, std::uint32_t inputLength, void* output, std::uint32_t outputLength);
Status FlushBuffersFile(Handle file, StatusBlock* statusBlock);

// Cancels (IoCancelIrp) the requests the calling thread has pending on the
// file. Does not wait for them to complete.
Status CancelIoFile(Handle file, StatusBlock* statusBlock);
// Cancels the file's pending requests of every thread, or only the one whose
// status block is `request`; STATUS_NOT_FOUND when nothing matched.
Status CancelIoFileEx(Handle file, const StatusBlock* request, StatusBlock* statusBlock);

// ---- events ----
Status CreateEvent(Handle* event, bool manualReset, bool initiallySignalled);
Status SetEvent(Handle event);
Status ResetEvent(Handle event);
// Waits on an event or on a file handle (its file object's event).
// STATUS_SUCCESS when signalled, STATUS_TIMEOUT when `timeout` of emulated
// time passed first (nothing waits for ever), STATUS_INVALID_HANDLE.
Status WaitForSingleObject(Handle object, std::optional<Time> timeout);

// ---- inspection and the PnP manager's view ----
// Handles open in the process.
std::size_t OpenHandleCount();
// The file object behind a file handle, or null.
_FILE_OBJECT* FileObjectOf(Handle file);
// File objects open on any device of the device's stack: each one from a
// successful IRP_MJ_CREATE until its IRP_MJ_CLOSE (a closed handle whose
// requests are still in flight still counts).
int OpenFileCount(_DEVICE_OBJECT* anyDeviceOfStack);
// Runs `callback` once when OpenFileCount of the stack drops to 0 (at once,
// on this thread, when it already is 0). It runs on the thread that sent the
// last IRP_MJ_CLOSE, at PASSIVE_LEVEL, with no lock held.
void WhenNoOpenFiles(_DEVICE_OBJECT* anyDeviceOfStack, std::function<void()> callback);
// While set, opens of any device of the stack fail with STATUS_NO_SUCH_DEVICE
// without reaching a driver (the PnP manager sets it when it starts removing
// the device). A surprise-removed stack refuses opens the same way.
void SetRemovalPending(_DEVICE_OBJECT* anyDeviceOfStack, bool pending);

}  // namespace emu::io
