// The device control block and the serial driver's settings, one for the
// other, as the platform maps them: baud rate, line control, special
// characters and handshake/flow settings.
//
// Pure functions; any thread.
#pragma once

#include "Win32Internal.h"

namespace tesmo::win32 {

// What GetCommState reads and SetCommState writes, in the driver's terms.
struct SerialState {
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW handflow{};
};

// Fills every member of the DCB. Binary mode and parity checking are always
// reported on, as the platform reports them.
void DcbFromSerialState(const SerialState& state, DCB* dcb);
// The state a DCB asks for. What the DCB cannot express is kept from
// `current`: the break character, and handshake and flow bits it has no
// member for (DCD handshake, break-character insertion, ...).
SerialState SerialStateFromDcb(const DCB& dcb, const SerialState& current);

// The modem-line request a state's RTS and DTR modes imply: SET_RTS/CLR_RTS
// (SET_DTR/CLR_DTR) for enable/disable, none (0) when the driver drives the
// line itself (handshake, toggle).
ULONG RtsRequestFor(const SERIAL_HANDFLOW& handflow);
ULONG DtrRequestFor(const SERIAL_HANDFLOW& handflow);

}  // namespace tesmo::win32
