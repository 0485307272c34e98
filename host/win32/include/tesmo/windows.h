/*
 * The Win32 API of the emulated system, as far as serial-port programs use
 * it: files and devices (CreateFile, ReadFile, WriteFile, DeviceIoControl,
 * overlapped I/O, cancellation), events and waits, the last-error value, and
 * the communications API (DCB, time-outs, masks, errors, purge, escapes).
 *
 * Names, types, values and structure layouts are those of Windows x64 (LLP64:
 * LONG and DWORD are 32 bits, WCHAR is 16 bits), so that a C program, or a
 * Python program through ctypes, drives a port here exactly as it would on
 * Windows. Calls use the host's C calling convention (WINAPI is empty).
 *
 * Every call may be made from any thread of the application while an
 * emulated system exists. Waits run on the emulated clock: a time-out of N
 * milliseconds ends when the system's clock has moved N ms. How it moves is
 * chosen at boot (<tesmo/control.h>, "Time"): with the wall clock; by
 * itself, jumping ahead the moment every thread of the system waits (the
 * default: an application thread between two calls counts as running); or
 * only when the program moves it.
 *
 * Outside a session (before tesmo_boot, after tesmo_shutdown, or once a
 * shutdown has begun on another thread) every call fails at once, as the
 * platform fails a call on a handle that is no longer valid: CreateFile
 * returns INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND (no such device),
 * CreateEvent NULL and WaitForSingleObject WAIT_FAILED, with
 * ERROR_INVALID_HANDLE, and every other call FALSE with ERROR_INVALID_HANDLE.
 * A handle does not outlive its session. A shutdown cancels the requests of
 * calls in progress, as a process exit does, and waits until those calls
 * have returned: a request the driver holds (a device control held while
 * the device is stopped or asleep) fails with ERROR_OPERATION_ABORTED; a
 * read the driver serves on the calling thread is not cancellable and runs
 * to its end, a read waiting for the instrument when its time limit runs
 * out (the clock runs by itself meanwhile), as a read that timed out: TRUE
 * with the bytes that came, often none. GetLastError, SetLastError and RtlNtStatusToDosError work at
 * any time.
 *
 * Bad input fails with an error rather than stopping the process: a NULL
 * where a call needs a structure or a count with ERROR_INVALID_PARAMETER
 * (the platform would fault), a buffer pointer of NULL with a non-zero
 * length with ERROR_NOACCESS. The emulation cannot probe a buffer as the
 * platform does, so a buffered read, write or device control (the COM port's
 * requests are all buffered) longer than TESMO_MAX_BUFFERED_LENGTH fails
 * with ERROR_INVALID_PARAMETER before its buffer is touched; a length up to
 * that limit must describe the buffer truly.
 */
#ifndef TESMO_WINDOWS_H
#define TESMO_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI
#ifndef VOID
#define VOID void
#endif
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef int32_t BOOL;
typedef BOOL* LPBOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef int32_t LONG;
typedef LONG NTSTATUS;
typedef uint32_t ULONG;
typedef char CHAR;
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint16_t WCHAR;
#endif
typedef const CHAR* LPCSTR;
typedef const WCHAR* LPCWSTR;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef uintptr_t ULONG_PTR;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFF

/* The longest buffered request the emulated system takes (64 MiB). */
#define TESMO_MAX_BUFFERED_LENGTH 0x04000000u

/* ---- errors (GetLastError) ---- */
#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_BAD_COMMAND 22
#define ERROR_CRC 23
#define ERROR_NOT_READY 21
#define ERROR_GEN_FAILURE 31
#define ERROR_HANDLE_EOF 38
#define ERROR_NOT_SUPPORTED 50
#define ERROR_DEV_NOT_EXIST 55
#define ERROR_INVALID_PARAMETER 87
#define ERROR_SEM_TIMEOUT 121
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_NAME 123
#define ERROR_BUSY 170
#define ERROR_ALREADY_EXISTS 183
#define ERROR_MORE_DATA 234
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_MR_MID_NOT_FOUND 317
#define ERROR_OPERATION_ABORTED 995
#define ERROR_IO_INCOMPLETE 996
#define ERROR_IO_PENDING 997
#define ERROR_NOACCESS 998
#define ERROR_NOT_FOUND 1168
#define ERROR_NO_SYSTEM_RESOURCES 1450
#define ERROR_TIMEOUT 1460
#define ERROR_INVALID_USER_BUFFER 1784

/* ---- files ---- */
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000
#endif
#ifndef GENERIC_WRITE
#define GENERIC_WRITE 0x40000000
#endif
#define GENERIC_EXECUTE 0x20000000
#define GENERIC_ALL 0x10000000

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_WRITE_THROUGH 0x80000000
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_FLAG_NO_BUFFERING 0x20000000

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

/* Internal holds the request's status while it is pending (STATUS_PENDING,
 * 0x103) and its final status after; InternalHigh the bytes transferred. */
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        LPVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped);
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped);
BOOL WINAPI FlushFileBuffers(HANDLE hFile);
BOOL WINAPI CloseHandle(HANDLE hObject);
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait);
BOOL WINAPI CancelIo(HANDLE hFile);
BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);

/* ---- events and waits ---- */
#define WAIT_OBJECT_0 0x00000000
#define WAIT_ABANDONED 0x00000080
#define WAIT_TIMEOUT 0x00000102
#define WAIT_FAILED 0xFFFFFFFF

/* Named events are not modelled: a name fails with ERROR_NOT_SUPPORTED. */
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName);
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);
/* Events and file handles (a file handle is signalled when an overlapped
 * request without an event of its own completes). */
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);
/* The system's mapping of an NTSTATUS to the error GetLastError reports. */
ULONG WINAPI RtlNtStatusToDosError(NTSTATUS Status);

/* ---- communications ---- */
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4

#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define CBR_110 110
#define CBR_300 300
#define CBR_600 600
#define CBR_1200 1200
#define CBR_2400 2400
#define CBR_4800 4800
#define CBR_9600 9600
#define CBR_14400 14400
#define CBR_19200 19200
#define CBR_38400 38400
#define CBR_57600 57600
#define CBR_115200 115200
#define CBR_128000 128000
#define CBR_256000 256000

#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02

#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

#define EV_RXCHAR 0x0001
#define EV_RXFLAG 0x0002
#define EV_TXEMPTY 0x0004
#define EV_CTS 0x0008
#define EV_DSR 0x0010
#define EV_RLSD 0x0020
#define EV_BREAK 0x0040
#define EV_ERR 0x0080
#define EV_RING 0x0100
#define EV_PERR 0x0200
#define EV_RX80FULL 0x0400
#define EV_EVENT1 0x0800
#define EV_EVENT2 0x1000

#define PURGE_TXABORT 0x0001
#define PURGE_RXABORT 0x0002
#define PURGE_TXCLEAR 0x0004
#define PURGE_RXCLEAR 0x0008

#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define RESETDEV 7
#define SETBREAK 8
#define CLRBREAK 9

#define CE_RXOVER 0x0001
#define CE_OVERRUN 0x0002
#define CE_RXPARITY 0x0004
#define CE_FRAME 0x0008
#define CE_BREAK 0x0010
#define CE_TXFULL 0x0100

#define MS_CTS_ON 0x0010
#define MS_DSR_ON 0x0020
#define MS_RING_ON 0x0040
#define MS_RLSD_ON 0x0080

#define COMMPROP_INITIALIZED 0xE73CF52E
#define SP_SERIALCOMM 0x00000001
#define PST_RS232 0x00000001
#define BAUD_USER 0x10000000

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

/* The port's read limit: a read that finds too few bytes waiting waits for
 * the instrument's next packet at most ReadTotalTimeoutConstant +
 * 2 x ReadTotalTimeoutMultiplier x the read's length milliseconds (per
 * packet it waits for), then returns TRUE with what it has. With both 0 it
 * does not wait at all: it returns at once with what is waiting (TRUE,
 * possibly 0 bytes). ReadIntervalTimeout and the write time-outs are kept
 * and returned by GetCommTimeouts, and play no part. A read that gets
 * nothing because its transfer failed fails with that failure's error (the
 * instrument pulled out: ERROR_NOT_READY; the system going to sleep:
 * ERROR_OPERATION_ABORTED); one that took bytes first returns them. */
typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

typedef struct _COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WCHAR wcProvChar[1];
} COMMPROP, *LPCOMMPROP;

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask);
BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags);
BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar);
BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp);
BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
BOOL WINAPI SetCommBreak(HANDLE hFile);
BOOL WINAPI ClearCommBreak(HANDLE hFile);

#ifdef __cplusplus
} /* extern "C" */
static_assert(sizeof(DCB) == 28, "x64 layout");
static_assert(sizeof(COMMTIMEOUTS) == 20, "x64 layout");
static_assert(sizeof(COMSTAT) == 12, "x64 layout");
static_assert(sizeof(COMMPROP) == 64, "x64 layout");
static_assert(sizeof(OVERLAPPED) == 32, "x64 layout");
#else
_Static_assert(sizeof(DCB) == 28, "x64 layout");
_Static_assert(sizeof(COMMTIMEOUTS) == 20, "x64 layout");
_Static_assert(sizeof(COMSTAT) == 12, "x64 layout");
_Static_assert(sizeof(COMMPROP) == 64, "x64 layout");
_Static_assert(sizeof(OVERLAPPED) == 32, "x64 layout");
#endif

#endif /* TESMO_WINDOWS_H */
