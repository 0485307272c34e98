// The rest of the communications API: queue sizes, time-outs, event masks
// and waits, errors and status, purge, escape functions, the immediate
// character, properties, modem status and breaks. Each call is one serial
// control with the buffer sizes of the driver's structures.
#include <cstring>

#include "CommChannel.h"

using namespace tesmo::win32;

namespace {

// SERIAL_ERROR_* bits as CE_* bits.
DWORD CommErrorsFrom(ULONG errors)
{
    DWORD mapped = 0;
    if (errors & SERIAL_ERROR_QUEUEOVERRUN) mapped |= CE_RXOVER;
    if (errors & SERIAL_ERROR_OVERRUN) mapped |= CE_OVERRUN;
    if (errors & SERIAL_ERROR_PARITY) mapped |= CE_RXPARITY;
    if (errors & SERIAL_ERROR_FRAMING) mapped |= CE_FRAME;
    if (errors & SERIAL_ERROR_BREAK) mapped |= CE_BREAK;
    return mapped;
}

void ComstatFrom(const SERIAL_STATUS& status, LPCOMSTAT stat)
{
    *stat = COMSTAT{};
    stat->fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) ? 1 : 0;
    stat->fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) ? 1 : 0;
    stat->fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) ? 1 : 0;
    stat->fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) ? 1 : 0;
    stat->fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) ? 1 : 0;
    stat->fEof = status.EofReceived ? 1 : 0;
    stat->fTxim = status.WaitForImmediate ? 1 : 0;
    stat->cbInQue = status.AmountInInQueue;
    stat->cbOutQue = status.AmountInOutQueue;
}

// The control an escape function stands for; 0 for none.
ULONG EscapeControl(DWORD function)
{
    switch (function) {
    case SETXOFF: return IOCTL_SERIAL_SET_XOFF;
    case SETXON: return IOCTL_SERIAL_SET_XON;
    case SETRTS: return IOCTL_SERIAL_SET_RTS;
    case CLRRTS: return IOCTL_SERIAL_CLR_RTS;
    case SETDTR: return IOCTL_SERIAL_SET_DTR;
    case CLRDTR: return IOCTL_SERIAL_CLR_DTR;
    case RESETDEV: return IOCTL_SERIAL_RESET_DEVICE;
    case SETBREAK: return IOCTL_SERIAL_SET_BREAK_ON;
    case CLRBREAK: return IOCTL_SERIAL_SET_BREAK_OFF;
    default: return 0;
    }
}

}  // namespace

static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS));
static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP));

extern "C" {

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    CommChannel port(hFile);
    return Outcome(port.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{dwInQueue, dwOutQueue}));
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    if (!lpCommTimeouts) return FailWithError(ERROR_INVALID_PARAMETER);
    CommChannel port(hFile);
    SERIAL_TIMEOUTS timeouts{};
    NTSTATUS status = port.Get(IOCTL_SERIAL_GET_TIMEOUTS, &timeouts);
    if (!NT_SUCCESS(status)) return FailWithStatus(status);
    std::memcpy(lpCommTimeouts, &timeouts, sizeof timeouts);
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    if (!lpCommTimeouts) return FailWithError(ERROR_INVALID_PARAMETER);
    SERIAL_TIMEOUTS timeouts;
    std::memcpy(&timeouts, lpCommTimeouts, sizeof timeouts);
    CommChannel port(hFile);
    return Outcome(port.Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts));
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    CommChannel port(hFile);
    return Outcome(port.Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{dwEvtMask}));
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    if (!lpEvtMask) return FailWithError(ERROR_INVALID_PARAMETER);
    CommChannel port(hFile);
    ULONG mask = 0;
    NTSTATUS status = port.Get(IOCTL_SERIAL_GET_WAIT_MASK, &mask);
    if (!NT_SUCCESS(status)) return FailWithStatus(status);
    *lpEvtMask = mask;
    return TRUE;
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    if (!lpEvtMask) return FailWithError(ERROR_INVALID_PARAMETER);
    if (lpOverlapped) {
        // The mask arrives in the caller's DWORD when the wait completes.
        lpOverlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
        NTSTATUS status = emu::io::DeviceIoControlFile(ToIo(hFile), EventOf(lpOverlapped), StatusBlockOf(lpOverlapped),
                                                       IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(ULONG));
        if (NT_ERROR(status) || status == STATUS_PENDING) return FailWithStatus(status);
        return TRUE;
    }
    CommChannel port(hFile);
    ULONG mask = 0;
    NTSTATUS status = port.Get(IOCTL_SERIAL_WAIT_ON_MASK, &mask);
    if (NT_ERROR(status)) return FailWithStatus(status);
    *lpEvtMask = mask;
    return TRUE;
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    CommChannel port(hFile);
    SERIAL_STATUS status{};
    NTSTATUS result = port.Get(IOCTL_SERIAL_GET_COMMSTATUS, &status);
    if (!NT_SUCCESS(result)) return FailWithStatus(result);
    if (lpErrors) *lpErrors = CommErrorsFrom(status.Errors);
    if (lpStat) ComstatFrom(status, lpStat);
    return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    CommChannel port(hFile);
    return Outcome(port.Set(IOCTL_SERIAL_PURGE, ULONG{dwFlags}));
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    ULONG control = EscapeControl(dwFunc);
    if (!control) return FailWithError(ERROR_INVALID_PARAMETER);
    CommChannel port(hFile);
    return Outcome(port.Control(control));
}

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    CommChannel port(hFile);
    return Outcome(port.Set(IOCTL_SERIAL_IMMEDIATE_CHAR, static_cast<UCHAR>(cChar)));
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    if (!lpCommProp) return FailWithError(ERROR_INVALID_PARAMETER);
    // An application that announces a larger structure (provider-specific
    // data after the COMMPROP) gets that much.
    ULONG length = sizeof(COMMPROP);
    if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED) length = lpCommProp->wPacketLength;
    std::memset(lpCommProp, 0, length);
    CommChannel port(hFile);
    return Outcome(port.Control(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, length));
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    if (!lpModemStat) return FailWithError(ERROR_INVALID_PARAMETER);
    CommChannel port(hFile);
    ULONG modemStatus = 0;
    NTSTATUS status = port.Get(IOCTL_SERIAL_GET_MODEMSTATUS, &modemStatus);
    if (!NT_SUCCESS(status)) return FailWithStatus(status);
    *lpModemStat = modemStatus;
    return TRUE;
}

BOOL WINAPI SetCommBreak(HANDLE hFile)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    CommChannel port(hFile);
    return Outcome(port.Control(IOCTL_SERIAL_SET_BREAK_ON));
}

BOOL WINAPI ClearCommBreak(HANDLE hFile)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    CommChannel port(hFile);
    return Outcome(port.Control(IOCTL_SERIAL_SET_BREAK_OFF));
}

}  // extern "C"
