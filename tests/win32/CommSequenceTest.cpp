// What each communications call sends to the driver: which serial controls,
// in which order, with which buffer lengths, and how the call ends on the
// driver's answers.
#include <cstring>
#include <functional>

#include "Win32Test.h"

namespace tesmo::test {
namespace {

ControlRequest Get(ULONG code, ULONG outputLength) { return {code, 0, outputLength}; }
ControlRequest Set(ULONG code, ULONG inputLength) { return {code, inputLength, 0}; }
ControlRequest Plain(ULONG code) { return {code, 0, 0}; }

const std::vector<ControlRequest> kReadState = {
    Get(IOCTL_SERIAL_GET_BAUD_RATE, 4), Get(IOCTL_SERIAL_GET_LINE_CONTROL, 3), Get(IOCTL_SERIAL_GET_CHARS, 6),
    Get(IOCTL_SERIAL_GET_HANDFLOW, 16)};

// Writing a state whose RTS and DTR modes are both "enable".
const std::vector<ControlRequest> kWriteState = {
    Set(IOCTL_SERIAL_SET_BAUD_RATE, 4), Plain(IOCTL_SERIAL_SET_RTS),       Plain(IOCTL_SERIAL_SET_DTR),
    Set(IOCTL_SERIAL_SET_LINE_CONTROL, 3), Set(IOCTL_SERIAL_SET_CHARS, 6), Set(IOCTL_SERIAL_SET_HANDFLOW, 16)};

std::vector<ControlRequest> Then(std::vector<ControlRequest> first, const std::vector<ControlRequest>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

DCB SampleDcb(DWORD rts = RTS_CONTROL_ENABLE, DWORD dtr = DTR_CONTROL_ENABLE, BYTE byteSize = 8)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = CBR_19200;
    dcb.fBinary = TRUE;
    dcb.fRtsControl = rts;
    dcb.fDtrControl = dtr;
    dcb.ByteSize = byteSize;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

BOOL SetState(HANDLE port, DCB dcb) { return SetCommState(port, &dcb); }

struct SequenceCase {
    const char* label;
    std::function<BOOL(HANDLE)> call;
    std::vector<ControlRequest> expected;
    BOOL result = TRUE;
    DWORD error = ERROR_SUCCESS;
    std::function<void(FakeSerialPort&)> arrange = [](FakeSerialPort&) {};
};
void PrintTo(const SequenceCase& c, std::ostream* out) { *out << c.label; }

class CommSequence : public Win32Test, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(CommSequence, SendsTheseControlsAndEndsSo)
{
    const SequenceCase& c = GetParam();
    HANDLE port = Port();
    c.arrange(this->port());
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(c.call(port), c.result);
    if (!c.result) {
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(this->port().Controls(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    State, CommSequence,
    ::testing::Values(
        SequenceCase{"GetCommState reads four settings", [](HANDLE h) { DCB d; return GetCommState(h, &d); },
                     kReadState},
        SequenceCase{"GetCommState stops at the first failure", [](HANDLE h) { DCB d; return GetCommState(h, &d); },
                     {kReadState[0], kReadState[1]}, FALSE, ERROR_GEN_FAILURE,
                     [](FakeSerialPort& p) { p.Answer(IOCTL_SERIAL_GET_LINE_CONTROL, STATUS_UNSUCCESSFUL); }},
        SequenceCase{"SetCommState reads then writes; missing modem lines do not matter",
                     [](HANDLE h) { return SetState(h, SampleDcb()); }, Then(kReadState, kWriteState)},
        SequenceCase{"SetCommState asks for the lines the modes imply",
                     [](HANDLE h) { return SetState(h, SampleDcb(RTS_CONTROL_DISABLE, DTR_CONTROL_HANDSHAKE)); },
                     Then(kReadState, {Set(IOCTL_SERIAL_SET_BAUD_RATE, 4), Plain(IOCTL_SERIAL_CLR_RTS),
                                       Set(IOCTL_SERIAL_SET_LINE_CONTROL, 3), Set(IOCTL_SERIAL_SET_CHARS, 6),
                                       Set(IOCTL_SERIAL_SET_HANDFLOW, 16)})},
        SequenceCase{"SetCommState restores the previous state when a setting fails",
                     [](HANDLE h) { return SetState(h, SampleDcb()); },
                     Then(Then(kReadState, kWriteState), kWriteState), FALSE, ERROR_INVALID_PARAMETER,
                     [](FakeSerialPort& p) { p.Answer(IOCTL_SERIAL_SET_HANDFLOW, STATUS_INVALID_PARAMETER); }},
        SequenceCase{"SetCommState has nothing to restore when the baud rate fails",
                     [](HANDLE h) { return SetState(h, SampleDcb()); },
                     Then(kReadState, {kWriteState[0]}), FALSE, ERROR_INVALID_PARAMETER,
                     [](FakeSerialPort& p) { p.Answer(IOCTL_SERIAL_SET_BAUD_RATE, STATUS_INVALID_PARAMETER); }},
        SequenceCase{"SetCommState sets nothing when it cannot read",
                     [](HANDLE h) { return SetState(h, SampleDcb()); }, kReadState, FALSE, ERROR_INSUFFICIENT_BUFFER,
                     [](FakeSerialPort& p) { p.Answer(IOCTL_SERIAL_GET_HANDFLOW, STATUS_BUFFER_TOO_SMALL); }},
        SequenceCase{"SetCommState refuses a byte size below 5 before sending anything",
                     [](HANDLE h) { return SetState(h, SampleDcb(RTS_CONTROL_ENABLE, DTR_CONTROL_ENABLE, 4)); }, {},
                     FALSE, ERROR_INVALID_PARAMETER},
        SequenceCase{"SetCommState refuses a byte size above 8 before sending anything",
                     [](HANDLE h) { return SetState(h, SampleDcb(RTS_CONTROL_ENABLE, DTR_CONTROL_ENABLE, 9)); }, {},
                     FALSE, ERROR_INVALID_PARAMETER}),
    [](const auto& info) { return CaseName(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Others, CommSequence,
    ::testing::Values(
        SequenceCase{"SetupComm", [](HANDLE h) { return SetupComm(h, 4096, 2048); },
                     {Set(IOCTL_SERIAL_SET_QUEUE_SIZE, 8)}},
        SequenceCase{"GetCommTimeouts", [](HANDLE h) { COMMTIMEOUTS t; return GetCommTimeouts(h, &t); },
                     {Get(IOCTL_SERIAL_GET_TIMEOUTS, 20)}},
        SequenceCase{"SetCommTimeouts", [](HANDLE h) { COMMTIMEOUTS t{}; return SetCommTimeouts(h, &t); },
                     {Set(IOCTL_SERIAL_SET_TIMEOUTS, 20)}},
        SequenceCase{"SetCommMask", [](HANDLE h) { return SetCommMask(h, EV_RXCHAR); },
                     {Set(IOCTL_SERIAL_SET_WAIT_MASK, 4)}},
        SequenceCase{"GetCommMask", [](HANDLE h) { DWORD m; return GetCommMask(h, &m); },
                     {Get(IOCTL_SERIAL_GET_WAIT_MASK, 4)}},
        SequenceCase{"WaitCommEvent on a port that cannot wait",
                     [](HANDLE h) { DWORD m; return WaitCommEvent(h, &m, nullptr); },
                     {Get(IOCTL_SERIAL_WAIT_ON_MASK, 4)}, FALSE, ERROR_INVALID_FUNCTION},
        SequenceCase{"ClearCommError", [](HANDLE h) { return ClearCommError(h, nullptr, nullptr); },
                     {Get(IOCTL_SERIAL_GET_COMMSTATUS, 20)}},
        SequenceCase{"PurgeComm", [](HANDLE h) { return PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR); },
                     {Set(IOCTL_SERIAL_PURGE, 4)}},
        SequenceCase{"TransmitCommChar", [](HANDLE h) { return TransmitCommChar(h, 'Q'); },
                     {Set(IOCTL_SERIAL_IMMEDIATE_CHAR, 1)}},
        SequenceCase{"GetCommProperties", [](HANDLE h) { COMMPROP p{}; return GetCommProperties(h, &p); },
                     {Get(IOCTL_SERIAL_GET_PROPERTIES, 64)}},
        SequenceCase{"GetCommModemStatus", [](HANDLE h) { DWORD s; return GetCommModemStatus(h, &s); },
                     {Get(IOCTL_SERIAL_GET_MODEMSTATUS, 4)}},
        SequenceCase{"SetCommBreak", [](HANDLE h) { return SetCommBreak(h); }, {Plain(IOCTL_SERIAL_SET_BREAK_ON)},
                     FALSE, ERROR_INVALID_FUNCTION},
        SequenceCase{"ClearCommBreak", [](HANDLE h) { return ClearCommBreak(h); }, {Plain(IOCTL_SERIAL_SET_BREAK_OFF)},
                     FALSE, ERROR_INVALID_FUNCTION},
        SequenceCase{"EscapeCommFunction with an unknown function sends nothing",
                     [](HANDLE h) { return EscapeCommFunction(h, 10); }, {}, FALSE, ERROR_INVALID_PARAMETER}),
    [](const auto& info) { return CaseName(info.param.label); });

struct EscapeCase {
    const char* label;
    DWORD function;
    ULONG control;
};
void PrintTo(const EscapeCase& c, std::ostream* out) { *out << c.label; }

class EscapeFunctions : public Win32Test, public ::testing::WithParamInterface<EscapeCase> {};

TEST_P(EscapeFunctions, SendTheirControlAndPassItsAnswerOn)
{
    HANDLE h = Port();
    port().Answer(GetParam().control, STATUS_SUCCESS);
    EXPECT_TRUE(EscapeCommFunction(h, GetParam().function));
    EXPECT_EQ(port().Controls(), (std::vector<ControlRequest>{Plain(GetParam().control)}));
}

INSTANTIATE_TEST_SUITE_P(All, EscapeFunctions,
                         ::testing::Values(EscapeCase{"SETXOFF", SETXOFF, IOCTL_SERIAL_SET_XOFF},
                                           EscapeCase{"SETXON", SETXON, IOCTL_SERIAL_SET_XON},
                                           EscapeCase{"SETRTS", SETRTS, IOCTL_SERIAL_SET_RTS},
                                           EscapeCase{"CLRRTS", CLRRTS, IOCTL_SERIAL_CLR_RTS},
                                           EscapeCase{"SETDTR", SETDTR, IOCTL_SERIAL_SET_DTR},
                                           EscapeCase{"CLRDTR", CLRDTR, IOCTL_SERIAL_CLR_DTR},
                                           EscapeCase{"RESETDEV", RESETDEV, IOCTL_SERIAL_RESET_DEVICE},
                                           EscapeCase{"SETBREAK", SETBREAK, IOCTL_SERIAL_SET_BREAK_ON},
                                           EscapeCase{"CLRBREAK", CLRBREAK, IOCTL_SERIAL_SET_BREAK_OFF}),
                         [](const auto& info) { return CaseName(info.param.label); });

// The bytes the settings carry, as the driver receives them.
TEST_F(Win32Test, SettingsArriveAsTheDriversStructures)
{
    HANDLE h = Port();
    COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
    ASSERT_TRUE(SetupComm(h, 4096, 2048));
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXABORT));
    ASSERT_TRUE(TransmitCommChar(h, 'Q'));
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_ERR));

    EXPECT_EQ(port().settings().queue.InSize, 4096u);
    EXPECT_EQ(port().settings().queue.OutSize, 2048u);
    EXPECT_EQ(port().settings().timeouts.ReadTotalTimeoutConstant, 3u);
    EXPECT_EQ(port().settings().timeouts.WriteTotalTimeoutConstant, 5u);
    auto controls = port().ControlRequests();
    EXPECT_EQ(controls.at(2).input, (std::vector<UCHAR>{0x09, 0, 0, 0}));
    EXPECT_EQ(controls.at(3).input, (std::vector<UCHAR>{'Q'}));
    EXPECT_EQ(port().settings().waitMask, static_cast<ULONG>(EV_RXCHAR | EV_ERR));
}

TEST_F(Win32Test, ReadSettingsComeBackFromTheDriver)
{
    HANDLE h = Port();
    port().settings().timeouts = SERIAL_TIMEOUTS{10, 20, 30, 40, 50};
    port().settings().waitMask = EV_RXFLAG;
    port().settings().modemStatus = MS_CTS_ON | MS_RLSD_ON;
    port().settings().properties.SettableBaud = 0x1007FFFF;
    COMMTIMEOUTS timeouts;
    DWORD mask = 0, modem = 0;
    COMMPROP properties;
    std::memset(&properties, 0xEE, sizeof properties);
    properties.dwProvSpec1 = 0;
    ASSERT_TRUE(GetCommTimeouts(h, &timeouts));
    ASSERT_TRUE(GetCommMask(h, &mask));
    ASSERT_TRUE(GetCommModemStatus(h, &modem));
    ASSERT_TRUE(GetCommProperties(h, &properties));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 10u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 50u);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXFLAG));
    EXPECT_EQ(modem, static_cast<DWORD>(MS_CTS_ON | MS_RLSD_ON));
    EXPECT_EQ(properties.wPacketLength, 64);
    EXPECT_EQ(properties.dwSettableBaud, 0x1007FFFFu);
    EXPECT_EQ(properties.wcProvChar[0], 0) << "GetCommProperties clears what the driver does not fill";
}

TEST_F(Win32Test, OverlappedWaitCommEventDeliversTheMaskWhenTheDriverCompletes)
{
    port().Hold(IOCTL_SERIAL_WAIT_ON_MASK);
    HANDLE h = Port(FILE_FLAG_OVERLAPPED);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD mask = 0xEEEEEEEE;
    EXPECT_FALSE(WaitCommEvent(h, &mask, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    PIRP irp = device().WaitHeld();
    FakeDevice::Fill(irp, {EV_RXCHAR, 0, 0, 0});
    device().CompleteHeld(irp, STATUS_SUCCESS, 4);
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &overlapped, &bytes, TRUE));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
    CloseHandle(event);
}

}  // namespace
}  // namespace tesmo::test
