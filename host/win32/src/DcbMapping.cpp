#include "DcbMapping.h"

namespace tesmo::win32 {

namespace {

// Handshake and flow bits a DCB has a member for.
constexpr ULONG kDcbControlBits =
    SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT;
constexpr ULONG kDcbFlowBits = SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING |
                               SERIAL_RTS_MASK | SERIAL_XOFF_CONTINUE;

}  // namespace

void DcbFromSerialState(const SerialState& state, DCB* dcb)
{
    const ULONG control = state.handflow.ControlHandShake;
    const ULONG flow = state.handflow.FlowReplace;
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = state.baud.BaudRate;
    dcb->fBinary = TRUE;
    dcb->fParity = TRUE;
    dcb->fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) ? 1 : 0;
    dcb->fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) ? 1 : 0;
    switch (control & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL: dcb->fDtrControl = DTR_CONTROL_ENABLE; break;
    case SERIAL_DTR_HANDSHAKE: dcb->fDtrControl = DTR_CONTROL_HANDSHAKE; break;
    default: dcb->fDtrControl = DTR_CONTROL_DISABLE; break;
    }
    dcb->fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) ? 1 : 0;
    dcb->fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) ? 1 : 0;
    dcb->fOutX = (flow & SERIAL_AUTO_TRANSMIT) ? 1 : 0;
    dcb->fInX = (flow & SERIAL_AUTO_RECEIVE) ? 1 : 0;
    dcb->fErrorChar = (flow & SERIAL_ERROR_CHAR) ? 1 : 0;
    dcb->fNull = (flow & SERIAL_NULL_STRIPPING) ? 1 : 0;
    switch (flow & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL: dcb->fRtsControl = RTS_CONTROL_ENABLE; break;
    case SERIAL_RTS_HANDSHAKE: dcb->fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case SERIAL_TRANSMIT_TOGGLE: dcb->fRtsControl = RTS_CONTROL_TOGGLE; break;
    default: dcb->fRtsControl = RTS_CONTROL_DISABLE; break;
    }
    dcb->fAbortOnError = (control & SERIAL_ERROR_ABORT) ? 1 : 0;
    dcb->XonLim = static_cast<WORD>(state.handflow.XonLimit);
    dcb->XoffLim = static_cast<WORD>(state.handflow.XoffLimit);
    dcb->ByteSize = state.line.WordLength;
    dcb->Parity = state.line.Parity;
    dcb->StopBits = state.line.StopBits;
    dcb->XonChar = static_cast<char>(state.chars.XonChar);
    dcb->XoffChar = static_cast<char>(state.chars.XoffChar);
    dcb->ErrorChar = static_cast<char>(state.chars.ErrorChar);
    dcb->EofChar = static_cast<char>(state.chars.EofChar);
    dcb->EvtChar = static_cast<char>(state.chars.EventChar);
}

SerialState SerialStateFromDcb(const DCB& dcb, const SerialState& current)
{
    SerialState state;
    state.baud.BaudRate = dcb.BaudRate;
    state.line.WordLength = dcb.ByteSize;
    state.line.Parity = dcb.Parity;
    state.line.StopBits = dcb.StopBits;
    state.chars = current.chars;
    state.chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
    state.chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);
    state.chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
    state.chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
    state.chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);

    ULONG control = current.handflow.ControlHandShake & ~kDcbControlBits;
    ULONG flow = current.handflow.FlowReplace & ~kDcbFlowBits;
    if (dcb.fOutxCtsFlow) control |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow) control |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE) control |= SERIAL_DTR_CONTROL;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) control |= SERIAL_DTR_HANDSHAKE;
    if (dcb.fDsrSensitivity) control |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError) control |= SERIAL_ERROR_ABORT;
    if (dcb.fTXContinueOnXoff) flow |= SERIAL_XOFF_CONTINUE;
    if (dcb.fOutX) flow |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX) flow |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar) flow |= SERIAL_ERROR_CHAR;
    if (dcb.fNull) flow |= SERIAL_NULL_STRIPPING;
    switch (dcb.fRtsControl) {
    case RTS_CONTROL_ENABLE: flow |= SERIAL_RTS_CONTROL; break;
    case RTS_CONTROL_HANDSHAKE: flow |= SERIAL_RTS_HANDSHAKE; break;
    case RTS_CONTROL_TOGGLE: flow |= SERIAL_TRANSMIT_TOGGLE; break;
    default: break;
    }
    state.handflow.ControlHandShake = control;
    state.handflow.FlowReplace = flow;
    state.handflow.XonLimit = dcb.XonLim;
    state.handflow.XoffLimit = dcb.XoffLim;
    return state;
}

ULONG RtsRequestFor(const SERIAL_HANDFLOW& handflow)
{
    switch (handflow.FlowReplace & SERIAL_RTS_MASK) {
    case 0: return IOCTL_SERIAL_CLR_RTS;
    case SERIAL_RTS_CONTROL: return IOCTL_SERIAL_SET_RTS;
    default: return 0;
    }
}

ULONG DtrRequestFor(const SERIAL_HANDFLOW& handflow)
{
    switch (handflow.ControlHandShake & SERIAL_DTR_MASK) {
    case 0: return IOCTL_SERIAL_CLR_DTR;
    case SERIAL_DTR_CONTROL: return IOCTL_SERIAL_SET_DTR;
    default: return 0;
    }
}

}  // namespace tesmo::win32
