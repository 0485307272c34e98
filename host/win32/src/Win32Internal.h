// What the units of the Win32 layer share: the last-error helpers, handle
// conversion, and the one way they issue a serial control. Each exported
// routine runs inside an emu::ApplicationCall, which admits it into the
// running system for its whole length; outside a system it fails at once.
#pragma once

#include "emu/ApplicationCalls.h"
#include "emu/Io.h"
#include "emu_ntddser.h"
#include "tesmo/windows.h"

namespace tesmo::win32 {

// SetLastError(RtlNtStatusToDosError(status)); always returns FALSE, so
// failure paths read `return FailWithStatus(status);`.
BOOL FailWithStatus(NTSTATUS status);
BOOL FailWithError(DWORD error);
// A call refused for want of a running system fails as one on a handle that
// is no longer valid: FALSE, ERROR_INVALID_HANDLE.
inline BOOL FailOutsideSystem() { return FailWithError(ERROR_INVALID_HANDLE); }

inline emu::io::Handle ToIo(HANDLE handle) { return reinterpret_cast<emu::io::Handle>(handle); }
inline HANDLE ToWin32(emu::io::Handle handle) { return reinterpret_cast<HANDLE>(handle); }
// An OVERLAPPED's first two members are the request's status block.
inline emu::io::StatusBlock* StatusBlockOf(LPOVERLAPPED overlapped)
{
    return reinterpret_cast<emu::io::StatusBlock*>(overlapped);
}
// The event of an OVERLAPPED; the low bit only marks "no completion-port
// notification" and is not part of the handle.
inline emu::io::Handle EventOf(const OVERLAPPED* overlapped)
{
    return ToIo(overlapped->hEvent) & ~static_cast<emu::io::Handle>(1);
}
// Reads the status of a request that may be completing on another thread.
inline NTSTATUS StatusOf(const OVERLAPPED* overlapped)
{
    return static_cast<NTSTATUS>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE));
}

// Reports to the system's verifier, as the application's mistake, a call the
// emulation does not model.
void NotModelled(const char* what);

}  // namespace tesmo::win32
