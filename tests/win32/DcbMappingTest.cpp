// The DCB against the driver's settings: each DCB member lands in the right
// handshake/flow bit and comes back, what the DCB cannot express survives a
// GetCommState/SetCommState round trip, and comm errors and status map to
// CE_* and COMSTAT.
#include <cstring>

#include "Win32Test.h"

namespace tesmo::test {
namespace {

struct FlagCase {
    const char* label;
    void (*apply)(DCB&);
    ULONG controlHandShake;
    ULONG flowReplace;
};
void PrintTo(const FlagCase& c, std::ostream* out) { *out << c.label; }

class DcbFlags : public Win32Test, public ::testing::WithParamInterface<FlagCase> {};

// Starting from a port with no handshake at all, one DCB member at a time.
TEST_P(DcbFlags, MapToTheirHandshakeBitsAndBack)
{
    HANDLE h = Port();
    port().settings().handflow = SERIAL_HANDFLOW{0, 0, 10, 20};
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    GetParam().apply(dcb);
    ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
    EXPECT_EQ(port().settings().handflow.ControlHandShake, GetParam().controlHandShake);
    EXPECT_EQ(port().settings().handflow.FlowReplace, GetParam().flowReplace);

    DCB back;
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0) << "the member comes back as it was set";
}

INSTANTIATE_TEST_SUITE_P(
    Members, DcbFlags,
    ::testing::Values(FlagCase{"fOutxCtsFlow", [](DCB& d) { d.fOutxCtsFlow = 1; }, SERIAL_CTS_HANDSHAKE, 0},
                      FlagCase{"fOutxDsrFlow", [](DCB& d) { d.fOutxDsrFlow = 1; }, SERIAL_DSR_HANDSHAKE, 0},
                      FlagCase{"DTR enable", [](DCB& d) { d.fDtrControl = DTR_CONTROL_ENABLE; }, SERIAL_DTR_CONTROL, 0},
                      FlagCase{"DTR handshake", [](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; },
                               SERIAL_DTR_HANDSHAKE, 0},
                      FlagCase{"fDsrSensitivity", [](DCB& d) { d.fDsrSensitivity = 1; }, SERIAL_DSR_SENSITIVITY, 0},
                      FlagCase{"fAbortOnError", [](DCB& d) { d.fAbortOnError = 1; }, SERIAL_ERROR_ABORT, 0},
                      FlagCase{"fTXContinueOnXoff", [](DCB& d) { d.fTXContinueOnXoff = 1; }, 0, SERIAL_XOFF_CONTINUE},
                      FlagCase{"fOutX", [](DCB& d) { d.fOutX = 1; }, 0, SERIAL_AUTO_TRANSMIT},
                      FlagCase{"fInX", [](DCB& d) { d.fInX = 1; }, 0, SERIAL_AUTO_RECEIVE},
                      FlagCase{"fErrorChar", [](DCB& d) { d.fErrorChar = 1; }, 0, SERIAL_ERROR_CHAR},
                      FlagCase{"fNull", [](DCB& d) { d.fNull = 1; }, 0, SERIAL_NULL_STRIPPING},
                      FlagCase{"RTS enable", [](DCB& d) { d.fRtsControl = RTS_CONTROL_ENABLE; }, 0, SERIAL_RTS_CONTROL},
                      FlagCase{"RTS handshake", [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; }, 0,
                               SERIAL_RTS_HANDSHAKE},
                      FlagCase{"RTS toggle", [](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }, 0,
                               SERIAL_TRANSMIT_TOGGLE}),
    [](const auto& info) { return CaseName(info.param.label); });

TEST_F(Win32Test, GetCommStateWritesEveryMemberOfTheDcb)
{
    HANDLE h = Port();
    port().settings().baud.BaudRate = 57600;
    port().settings().line = SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 7};
    port().settings().chars = SERIAL_CHARS{'E', 'R', 'B', 'V', 'X', 'Y'};
    port().settings().handflow = SERIAL_HANDFLOW{0, 0, 100, 200};
    DCB dcb;
    std::memset(&dcb, 0xEE, sizeof dcb);
    ASSERT_TRUE(GetCommState(h, &dcb));

    DCB expected{};
    expected.DCBlength = sizeof(DCB);
    expected.BaudRate = 57600;
    expected.fBinary = 1;
    expected.fParity = 1;
    expected.XonLim = 100;
    expected.XoffLim = 200;
    expected.ByteSize = 7;
    expected.Parity = EVENPARITY;
    expected.StopBits = TWOSTOPBITS;
    expected.XonChar = 'X';
    expected.XoffChar = 'Y';
    expected.ErrorChar = 'R';
    expected.EofChar = 'E';
    expected.EvtChar = 'V';
    EXPECT_EQ(std::memcmp(&dcb, &expected, sizeof dcb), 0) << "no member keeps the sentinel";
}

TEST_F(Win32Test, SetCommStateKeepsWhatTheDcbCannotExpress)
{
    HANDLE h = Port();
    port().settings().handflow.ControlHandShake |= SERIAL_DCD_HANDSHAKE;
    port().settings().handflow.FlowReplace |= SERIAL_BREAK_CHAR;
    port().settings().chars.BreakChar = 0x42;
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = CBR_115200;
    dcb.fOutxCtsFlow = 1;
    ASSERT_TRUE(SetCommState(h, &dcb));

    EXPECT_EQ(port().settings().baud.BaudRate, static_cast<ULONG>(CBR_115200));
    EXPECT_TRUE(port().settings().handflow.ControlHandShake & SERIAL_DCD_HANDSHAKE);
    EXPECT_TRUE(port().settings().handflow.ControlHandShake & SERIAL_CTS_HANDSHAKE);
    EXPECT_TRUE(port().settings().handflow.FlowReplace & SERIAL_BREAK_CHAR);
    EXPECT_EQ(port().settings().chars.BreakChar, 0x42);
}

TEST_F(Win32Test, ClearCommErrorMapsErrorsAndHoldReasons)
{
    HANDLE h = Port();
    SERIAL_STATUS& status = port().settings().status;
    status.Errors = SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN | SERIAL_ERROR_QUEUEOVERRUN |
                    SERIAL_ERROR_PARITY;
    status.HoldReasons = SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DCD | SERIAL_TX_WAITING_XOFF_SENT;
    status.AmountInInQueue = 7;
    status.AmountInOutQueue = 3;
    status.EofReceived = TRUE;
    DWORD errors = 0xEEEEEEEE;
    COMSTAT stat;
    std::memset(&stat, 0xEE, sizeof stat);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));

    EXPECT_EQ(errors, static_cast<DWORD>(CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY));
    EXPECT_EQ(stat.fCtsHold, 1u);
    EXPECT_EQ(stat.fDsrHold, 0u);
    EXPECT_EQ(stat.fRlsdHold, 1u);
    EXPECT_EQ(stat.fXoffHold, 0u);
    EXPECT_EQ(stat.fXoffSent, 1u);
    EXPECT_EQ(stat.fEof, 1u);
    EXPECT_EQ(stat.fTxim, 0u);
    EXPECT_EQ(stat.fReserved, 0u);
    EXPECT_EQ(stat.cbInQue, 7u);
    EXPECT_EQ(stat.cbOutQue, 3u);
}

}  // namespace
}  // namespace tesmo::test
