// The per-thread last-error value and the helpers that set it.
#include <string>

#include "Win32Internal.h"
#include "emu/System.h"

namespace tesmo::win32 {

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}  // namespace

BOOL FailWithStatus(NTSTATUS status)
{
    t_lastError = RtlNtStatusToDosError(status);
    return FALSE;
}

BOOL FailWithError(DWORD error)
{
    t_lastError = error;
    return FALSE;
}

void NotModelled(const char* what)
{
    emu::System::Current().verifier().ReportApplicationMistake(emu::Rule::NotModelled, std::string("Win32: ") + what);
}

}  // namespace tesmo::win32

extern "C" {

DWORD WINAPI GetLastError(void) { return tesmo::win32::t_lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { tesmo::win32::t_lastError = dwErrCode; }

}  // extern "C"
