// GetCommState and SetCommState: the DCB read from and written to the
// driver's baud rate, line control, special characters and handshake/flow
// settings, one serial control each, in the platform's order.
#include "CommChannel.h"
#include "DcbMapping.h"

using namespace tesmo::win32;

namespace {

NTSTATUS ReadState(CommChannel& port, SerialState* state)
{
    NTSTATUS status = port.Get(IOCTL_SERIAL_GET_BAUD_RATE, &state->baud);
    if (NT_SUCCESS(status)) status = port.Get(IOCTL_SERIAL_GET_LINE_CONTROL, &state->line);
    if (NT_SUCCESS(status)) status = port.Get(IOCTL_SERIAL_GET_CHARS, &state->chars);
    if (NT_SUCCESS(status)) status = port.Get(IOCTL_SERIAL_GET_HANDFLOW, &state->handflow);
    return status;
}

// Writes a state. The modem-line requests are best effort: a port without
// modem lines answers them with STATUS_NOT_IMPLEMENTED and still takes the
// rest. `changedAnything` says whether a failure left the port half set.
NTSTATUS WriteState(CommChannel& port, const SerialState& state, bool* changedAnything)
{
    *changedAnything = false;
    NTSTATUS status = port.Set(IOCTL_SERIAL_SET_BAUD_RATE, state.baud);
    if (!NT_SUCCESS(status)) return status;
    *changedAnything = true;
    if (ULONG rts = RtsRequestFor(state.handflow)) port.Control(rts);
    if (ULONG dtr = DtrRequestFor(state.handflow)) port.Control(dtr);
    status = port.Set(IOCTL_SERIAL_SET_LINE_CONTROL, state.line);
    if (NT_SUCCESS(status)) status = port.Set(IOCTL_SERIAL_SET_CHARS, state.chars);
    if (NT_SUCCESS(status)) status = port.Set(IOCTL_SERIAL_SET_HANDFLOW, state.handflow);
    return status;
}

}  // namespace

extern "C" {

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    if (!lpDCB) return FailWithError(ERROR_INVALID_PARAMETER);
    CommChannel port(hFile);
    SerialState state;
    NTSTATUS status = ReadState(port, &state);
    if (!NT_SUCCESS(status)) return FailWithStatus(status);
    DcbFromSerialState(state, lpDCB);
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    emu::ApplicationCall call;
    if (!call.admitted()) return FailOutsideSystem();
    if (!lpDCB || lpDCB->ByteSize < 5 || lpDCB->ByteSize > 8) return FailWithError(ERROR_INVALID_PARAMETER);
    CommChannel port(hFile);
    SerialState previous;
    NTSTATUS status = ReadState(port, &previous);
    if (!NT_SUCCESS(status)) return FailWithStatus(status);

    bool changedAnything = false;
    status = WriteState(port, SerialStateFromDcb(*lpDCB, previous), &changedAnything);
    if (NT_SUCCESS(status)) return TRUE;
    if (changedAnything) {
        bool ignored;
        WriteState(port, previous, &ignored);  // back to what it was; a second failure changes nothing more
    }
    return FailWithStatus(status);
}

}  // extern "C"
