// The values of the Telnet COM-PORT-OPTION (option 44) that the server
// speaks: the client's commands (the server answers each with the command
// plus kServerOffset), the codes of the line settings, SET-CONTROL's
// requests and the line- and modem-state bits.
#pragma once

#include <cstdint>

namespace tesmo::sim::comport {

// Commands, client to server.
enum Command : std::uint8_t {
    kSignature = 0,
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kNotifyLineState = 6,
    kNotifyModemState = 7,
    kFlowControlSuspend = 8,
    kFlowControlResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
};
// The server's answer to command N is N + kServerOffset.
constexpr std::uint8_t kServerOffset = 100;

// A value of 0 in SET-BAUDRATE, -DATASIZE, -PARITY, -STOPSIZE asks for the
// current setting.
constexpr std::uint32_t kAskCurrent = 0;

// SET-PARITY codes, in the order of their values 1..5.
enum Parity : std::uint8_t { kParityNone = 1, kParityOdd = 2, kParityEven = 3, kParityMark = 4, kParitySpace = 5 };
constexpr char kParityLetters[] = "?NOEMS";  // indexed by the code

// SET-STOPSIZE codes.
enum StopSize : std::uint8_t { kStopOne = 1, kStopTwo = 2, kStopOneAndHalf = 3 };

// SET-CONTROL requests.
enum Control : std::uint8_t {
    kFlowAsk = 0,
    kFlowNone = 1,
    kFlowXonXoff = 2,
    kFlowHardware = 3,
    kBreakAsk = 4,
    kBreakOn = 5,
    kBreakOff = 6,
    kDtrAsk = 7,
    kDtrOn = 8,
    kDtrOff = 9,
    kRtsAsk = 10,
    kRtsOn = 11,
    kRtsOff = 12,
};

// PURGE-DATA values.
enum Purge : std::uint8_t { kPurgeReceive = 1, kPurgeTransmit = 2, kPurgeBoth = 3 };

// NOTIFY-LINESTATE bits.
constexpr std::uint8_t kLineDataReady = 0x01;

// NOTIFY-MODEMSTATE bits.
constexpr std::uint8_t kModemClearToSend = 0x10;
constexpr std::uint8_t kModemDataSetReady = 0x20;
constexpr std::uint8_t kModemRingIndicator = 0x40;
constexpr std::uint8_t kModemCarrierDetect = 0x80;

}  // namespace tesmo::sim::comport
