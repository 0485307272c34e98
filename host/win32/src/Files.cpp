// Files and devices: CreateFile, ReadFile, WriteFile, DeviceIoControl,
// FlushFileBuffers, CloseHandle, GetOverlappedResult, CancelIo, CancelIoEx,
// with the platform's rules for synchronous and overlapped handles.
//
// A call without an OVERLAPPED on a synchronous handle returns when the
// request is done. With an OVERLAPPED the call returns at once: TRUE when the
// request already completed, FALSE with ERROR_IO_PENDING when it is in
// flight (its status then lands in Internal/InternalHigh and the event, or
// the file handle, is signalled), FALSE with the request's error otherwise.
#include <string>

#include "DosPaths.h"
#include "Win32Internal.h"

using namespace tesmo::win32;

namespace {

constexpr DWORD kSynchronize = 0x00100000;
constexpr DWORD kFileReadAttributes = 0x0080;
constexpr ULONG_PTR kFileOpened = 1;
constexpr ULONG_PTR kFileOverwritten = 3;
constexpr std::uint32_t kFileWriteThrough = 0x00000002;
constexpr std::uint32_t kFileNoIntermediateBuffering = 0x00000008;
constexpr DWORD kValidAttributes = 0x00007FA7;

HANDLE OpenByName(std::u16string_view name, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    // The CreateFile dispositions, in order, as the system's create dispositions.
    static constexpr std::uint32_t kDisposition[] = {0,
                                                     emu::io::kFileCreate,
                                                     emu::io::kFileOverwriteIf,
                                                     emu::io::kFileOpen,
                                                     emu::io::kFileOpenIf,
                                                     emu::io::kFileOverwrite};
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        FailWithError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::optional<std::u16string> ntName = NtNameFromWin32(name);
    if (!ntName) {
        NotModelled("CreateFile of a file-system path (only device names such as \\\\.\\COM3 are modelled)");
        FailWithError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    emu::io::OpenParameters parameters;
    parameters.name = *ntName;
    parameters.desiredAccess = access | kSynchronize | kFileReadAttributes;
    parameters.shareAccess = share;
    parameters.disposition = kDisposition[disposition];
    parameters.options = emu::io::kNonDirectoryFile | ((flags & FILE_FLAG_OVERLAPPED) ? 0 : emu::io::kSynchronousIo) |
                         ((flags & FILE_FLAG_WRITE_THROUGH) ? kFileWriteThrough : 0) |
                         ((flags & FILE_FLAG_NO_BUFFERING) ? kFileNoIntermediateBuffering : 0);
    parameters.attributes = flags & kValidAttributes;
    emu::io::Handle handle = 0;
    emu::io::StatusBlock block{};
    NTSTATUS status = emu::io::OpenFile(parameters, &handle, &block);
    if (!NT_SUCCESS(status)) {
        FailWithStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    bool existed = block.information == kFileOpened || block.information == kFileOverwritten;
    SetLastError((disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS) && existed ? ERROR_ALREADY_EXISTS
                                                                                         : ERROR_SUCCESS);
    return ToWin32(handle);
}

// The tail every transfer shares. `issue` sends the request with the status
// block and event it is given.
template <typename Issue>
BOOL Transfer(HANDLE file, LPDWORD transferred, LPOVERLAPPED overlapped, Issue issue)
{
    if (transferred) *transferred = 0;
    if (overlapped) {
        overlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
        NTSTATUS status = issue(EventOf(overlapped), StatusBlockOf(overlapped));
        if (NT_SUCCESS(status) && status != STATUS_PENDING) {
            if (transferred) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
            return TRUE;
        }
        return FailWithStatus(status);
    }
    if (!transferred) return FailWithError(ERROR_INVALID_PARAMETER);  // the platform would fault here
    emu::io::StatusBlock block{};
    NTSTATUS status = issue(0, &block);
    if (status == STATUS_PENDING) {
        // An overlapped handle used without an OVERLAPPED: wait on the handle.
        status = emu::io::WaitForSingleObject(ToIo(file), std::nullopt);
        if (NT_SUCCESS(status)) status = block.status;
    }
    if (!NT_ERROR(status)) *transferred = static_cast<DWORD>(block.information);
    if (!NT_SUCCESS(status)) return FailWithStatus(status);
    return TRUE;
}

std::u16string Widen(LPCSTR text)
{
    std::u16string wide;
    for (; *text; ++text) wide.push_back(static_cast<unsigned char>(*text));
    return wide;
}

static_assert(TESMO_MAX_BUFFERED_LENGTH == emu::io::kMaxBufferedLength);

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE)
{
    emu::ApplicationCall call;
    if (!call.admitted()) {
        FailWithError(ERROR_FILE_NOT_FOUND);  // no system, so no device of that name
        return INVALID_HANDLE_VALUE;
    }
    if (!lpFileName) {
        FailWithError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return OpenByName(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE)
{
    emu::ApplicationCall call;
    if (!call.admitted()) {
        FailWithError(ERROR_FILE_NOT_FOUND);  // no system, so no device of that name
        return INVALID_HANDLE_VALUE;
    }
    if (!lpFileName) {
        FailWithError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return OpenByName(Widen(lpFileName), dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    std::int64_t offset = lpOverlapped ? (std::int64_t{lpOverlapped->OffsetHigh} << 32 | lpOverlapped->Offset) : 0;
    return Transfer(hFile, lpNumberOfBytesRead, lpOverlapped, [&](emu::io::Handle event, emu::io::StatusBlock* block) {
        return emu::io::ReadFile(ToIo(hFile), event, block, lpBuffer, nNumberOfBytesToRead, offset);
    });
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    std::int64_t offset = lpOverlapped ? (std::int64_t{lpOverlapped->OffsetHigh} << 32 | lpOverlapped->Offset) : 0;
    return Transfer(hFile, lpNumberOfBytesWritten, lpOverlapped,
                    [&](emu::io::Handle event, emu::io::StatusBlock* block) {
                        return emu::io::WriteFile(ToIo(hFile), event, block, lpBuffer, nNumberOfBytesToWrite, offset);
                    });
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    return Transfer(hDevice, lpBytesReturned, lpOverlapped, [&](emu::io::Handle event, emu::io::StatusBlock* block) {
        return emu::io::DeviceIoControlFile(ToIo(hDevice), event, block, dwIoControlCode, lpInBuffer, nInBufferSize,
                                            lpOutBuffer, nOutBufferSize);
    });
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    emu::io::StatusBlock block{};
    NTSTATUS status = emu::io::FlushBuffersFile(ToIo(hFile), &block);
    if (status == STATUS_PENDING) {
        status = emu::io::WaitForSingleObject(ToIo(hFile), std::nullopt);
        if (NT_SUCCESS(status)) status = block.status;
    }
    return NT_SUCCESS(status) ? TRUE : FailWithStatus(status);
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    NTSTATUS status = emu::io::Close(ToIo(hObject));
    return NT_SUCCESS(status) ? TRUE : FailWithStatus(status);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    if (!lpOverlapped || !lpNumberOfBytesTransferred) return FailWithError(ERROR_INVALID_PARAMETER);
    if (StatusOf(lpOverlapped) == STATUS_PENDING) {
        if (!bWait) return FailWithError(ERROR_IO_INCOMPLETE);
        emu::io::Handle event = EventOf(lpOverlapped);
        NTSTATUS waited = emu::io::WaitForSingleObject(event ? event : ToIo(hFile), std::nullopt);
        if (!NT_SUCCESS(waited)) return FailWithStatus(waited);
    }
    NTSTATUS status = StatusOf(lpOverlapped);
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    return NT_SUCCESS(status) ? TRUE : FailWithStatus(status);
}

BOOL WINAPI CancelIo(HANDLE hFile)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    emu::io::StatusBlock block{};
    NTSTATUS status = emu::io::CancelIoFile(ToIo(hFile), &block);
    return NT_SUCCESS(status) ? TRUE : FailWithStatus(status);
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    emu::io::StatusBlock block{};
    emu::io::StatusBlock* request = lpOverlapped ? StatusBlockOf(lpOverlapped) : nullptr;
    NTSTATUS status = emu::io::CancelIoFileEx(ToIo(hFile), request, &block);
    return NT_SUCCESS(status) ? TRUE : FailWithStatus(status);
}

}  // extern "C"
