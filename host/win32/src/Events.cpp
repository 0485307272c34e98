// Events and waits. A wait's time-out is counted on the emulated clock.
#include "Win32Internal.h"

using namespace tesmo::win32;

namespace {

HANDLE NewEvent(BOOL manualReset, BOOL initialState, bool named)
{
    if (named) {
        NotModelled("CreateEvent with a name (named objects are not modelled)");
        FailWithError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    emu::io::Handle event = 0;
    NTSTATUS status = emu::io::CreateEvent(&event, manualReset != FALSE, initialState != FALSE);
    if (!NT_SUCCESS(status)) {
        FailWithStatus(status);
        return nullptr;
    }
    return ToWin32(event);
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    emu::ApplicationCall call;
    if (!call.admitted()) {
        FailOutsideSystem();
        return nullptr;
    }
    return NewEvent(bManualReset, bInitialState, lpName != nullptr);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    emu::ApplicationCall call;
    if (!call.admitted()) {
        FailOutsideSystem();
        return nullptr;
    }
    return NewEvent(bManualReset, bInitialState, lpName != nullptr);
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    NTSTATUS status = emu::io::SetEvent(ToIo(hEvent));
    return NT_SUCCESS(status) ? TRUE : FailWithStatus(status);
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    NTSTATUS status = emu::io::ResetEvent(ToIo(hEvent));
    return NT_SUCCESS(status) ? TRUE : FailWithStatus(status);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    emu::ApplicationCall call;
    if (!call.admitted()) {
        FailOutsideSystem();
        return WAIT_FAILED;
    }
    std::optional<emu::Time> timeout;
    if (dwMilliseconds != INFINITE) timeout = static_cast<emu::Time>(dwMilliseconds) * emu::kMillisecond;
    NTSTATUS status = emu::io::WaitForSingleObject(ToIo(hHandle), timeout);
    if (status == STATUS_SUCCESS) return WAIT_OBJECT_0;
    if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
    FailWithStatus(status);
    return WAIT_FAILED;
}

}  // extern "C"
