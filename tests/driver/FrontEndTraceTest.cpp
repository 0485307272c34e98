// The trace lines of the serial front end, exactly as a person reading the
// debugger output sees them: text, level and order, one component at a time.
#include <gtest/gtest.h>

#include <functional>

#include "DebugPrint.h"
#include "SerialPortTest.h"
#include "TraceRecorder.h"

namespace tesmo::test {
namespace {

class TracedPort;

struct Line {
    std::uint32_t level;
    std::string text;
    bool operator==(const Line&) const = default;
};
void PrintTo(const Line& line, std::ostream* out) { *out << line.level << ": " << line.text; }

struct TraceCase {
    const char* label;
    std::function<void(TracedPort&)> prepare;  // not recorded
    std::function<void(TracedPort&)> act;
    std::uint32_t component;
    std::vector<Line> expected;
};
void PrintTo(const TraceCase& c, std::ostream* out) { *out << c.label; }

class TracedPort : public SerialPortTest, public ::testing::WithParamInterface<TraceCase> {
public:
    using SerialPortTest::Control;
    using SerialPortTest::HoldQueue;
    using SerialPortTest::instrument;
    using SerialPortTest::LeaveWaiting;
    using SerialPortTest::Read;
    using SerialPortTest::usb;
    using SerialPortTest::Write;
};

TEST_P(TracedPort, PrintsTheLinesOfThePath)
{
    const TraceCase& c = GetParam();
    if (c.prepare) c.prepare(*this);
    std::vector<Line> lines;
    {
        TraceRecorder trace(sys());
        c.act(*this);
        for (const auto& line : trace.Lines()) {
            if (line.component == c.component) lines.push_back(Line{line.level, line.text});
        }
    }
    EXPECT_EQ(lines, c.expected);
}

// A stop being negotiated: the queue holds, USB requests are refused.
void HoldQueue(TracedPort& port) { port.HoldQueue(); }
void FailSecondBulkUrb(TracedPort& port)
{
    port.instrument().Packet(std::string(64, 'p'));
    port.usb().FailUrb(emu::usb::UrbFailure{URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, std::nullopt,
                                                   USBD_STATUS_STALL_PID, STATUS_DEVICE_DATA_ERROR, 2});
}
Bytes Timeouts123()
{
    SERIAL_TIMEOUTS timeouts{1, 2, 3, 4, 5};
    return BytesOf(timeouts);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, TracedPort,
    ::testing::Values(
        TraceCase{"read_served_from_waiting_bytes",
                  [](TracedPort& p) { p.LeaveWaiting("abcdefghij"); },
                  [](TracedPort& p) { p.Read(4); },
                  DBG_READ,
                  {{4, "ReadWrite.c:HandleReadIrp ENTRY. Requesting 4 bytes - waiting bytes:offset = 10:0\n"},
                   {5, "HandleReadIrp-Existing Data 4 bytes, remaining:offset = 6:4, Irp->IoStatus.Information = 4\n"},
                   {4, "ReadWrite.c:HandleReadIrp-Completing IRP_MJ_READ with 4 bytes and status 0x0\n"}}},
        TraceCase{"read_of_one_packet",
                  [](TracedPort& p) { p.instrument().Packet("hello"); },
                  [](TracedPort& p) { p.Read(3); },
                  DBG_READ,
                  {{4, "ReadWrite.c:HandleReadIrp ENTRY. Requesting 3 bytes - waiting bytes:offset = 0:0\n"},
                   {5, "ReadWrite.c: Finished with ReadSinglePacket have waiting:offset 5:0, buffersize is 3, bytes "
                       "copied= 3, Irp->IoStatus.Information = 3)\n"},
                   {4, "ReadWrite.c:HandleReadIrp-Completing IRP_MJ_READ with 3 bytes (full) with status 0x0\n"}}},
        TraceCase{"read_of_whole_packets_and_a_tail",
                  [](TracedPort& p) {
                      p.instrument().Packet(std::string(64, 'p'));
                      p.instrument().Packet(std::string(64, 't'));
                  },
                  [](TracedPort& p) { p.Read(70); },
                  DBG_READ,
                  {{4, "ReadWrite.c:HandleReadIrp ENTRY. Requesting 70 bytes - waiting bytes:offset = 0:0\n"},
                   {5, "Calling ReadData for 64 bytes\n"},
                   {5, "ReadWrite.c: Read tail of 6 bytes (read=64), remaining:offset=58:6\n"},
                   {4, "ReadWrite.c:HandleReadIrp-Completing IRP_MJ_READ with 70 bytes (full) with status 0x0\n"}}},
        TraceCase{"read_refused",
                  HoldQueue,
                  [](TracedPort& p) { p.Read(3); },
                  DBG_READ,
                  {{4, "ReadWrite.c:HandleReadIrp ENTRY. Requesting 3 bytes - waiting bytes:offset = 0:0\n"},
                   {5, "ReadSinglePacket with status 0xc0000001, resetting bytes & offset\n"},
                   {4, "ReadWrite.c:HandleReadIrp-Completing IRP_MJ_READ with 0 bytes (full) with status 0xc0000001\n"},
                   {3, "ReadWrite.c: HandleReadIrp EXIT = 0xC0000001\n"}}},
        TraceCase{"read_whose_tail_fails",
                  FailSecondBulkUrb,
                  [](TracedPort& p) { p.Read(70); },
                  DBG_READ,
                  {{4, "ReadWrite.c:HandleReadIrp ENTRY. Requesting 70 bytes - waiting bytes:offset = 0:0\n"},
                   {5, "Calling ReadData for 64 bytes\n"},
                   {3, "ReadWrite.c: Read tail failed with status 0xc000009c\n"},
                   {5, "ReadWrite.c: HandleReadIrp-delivering 64 bytes taken before status 0xc000009c\n"},
                   {4, "ReadWrite.c:HandleReadIrp-Completing IRP_MJ_READ with 64 bytes (full) with status 0x0\n"}}},
        TraceCase{"write",
                  [](TracedPort& p) { p.instrument().ExpectOut("*RST\n"); },
                  [](TracedPort& p) { p.Write(BytesOf("*RST\n")); },
                  DBG_WRITE,
                  {{4, "ReadWrite.c: HandleWriteIrp ENTRY - sending 5 bytes\n"}}},
        TraceCase{"write_refused",
                  HoldQueue,
                  [](TracedPort& p) { p.Write(BytesOf("*RST\n")); },
                  DBG_WRITE,
                  {{4, "ReadWrite.c: HandleWriteIrp ENTRY - sending 5 bytes\n"},
                   {3, "ReadWrite.c: HandleWriteIrp EXIT = 0xC0000001\n"}}},
        TraceCase{"set_timeouts",
                  nullptr,
                  [](TracedPort& p) { p.Control(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts123()); },
                  DBG_IOCTL,
                  {{5, "Ioctl.c: IOCTL_SERIAL_SET_TIMEOUTS: ReadIntervalTimeout = 0x1 ReadTotalTimeoutMultiplier = 0x2 "
                       "ReadTotalTimeoutConstant = 0x3\n"}}},
        TraceCase{"purge_receive_clear",
                  [](TracedPort& p) { p.LeaveWaiting("abc"); },
                  [](TracedPort& p) { p.Control(IOCTL_SERIAL_PURGE, BytesOf(ULONG{SERIAL_PURGE_RXCLEAR})); },
                  DBG_IOCTL,
                  {{5, "Ioctl.c:HandleDeviceControlIrp-IOCTL_SERIAL_PURGE.  Clearing StaticBufferBytes (3)\n"}}},
        TraceCase{"status_query",
                  [](TracedPort& p) { p.LeaveWaiting("abcdefghijklmnopqrstuvwxyz"); },
                  [](TracedPort& p) { p.Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20); },
                  DBG_IOCTL,
                  {{5, "Ioctl.c:HandleDeviceControlIrp-IOCTL_SERIAL_GET_COMMSTATUS SerialStatus->AmountInInQueue = 0x1A\n"}}},
        TraceCase{"immediate_character",
                  [](TracedPort& p) { p.instrument().ExpectOut("!"); },
                  [](TracedPort& p) { p.Control(IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes{'!'}); },
                  DBG_IOCTL,
                  {{5, "Ioctl.c:HandleDeviceControlIrp-IOCTL_SERIAL_IMMEDIATE_CHAR\n"}}}),
    [](const auto& info) { return std::string(info.param.label); });

struct OpenCloseCase {
    const char* label;
    UCHAR major;
    const char* exit;
};
void PrintTo(const OpenCloseCase& c, std::ostream* out) { *out << c.label; }

class OpenCloseTrace : public SerialPortTest, public ::testing::WithParamInterface<OpenCloseCase> {};

TEST_P(OpenCloseTrace, EndsWithItsExitLine)
{
    TraceRecorder trace(sys());
    PortRequest::Plain(fdo(), GetParam().major)->Send();
    auto lines = trace.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().text, GetParam().exit);
    EXPECT_EQ(lines.back().level, 4u);
    EXPECT_EQ(lines.back().component, static_cast<std::uint32_t>(DBG_OPENCLOSE));
}

INSTANTIATE_TEST_SUITE_P(
    Majors, OpenCloseTrace,
    ::testing::Values(OpenCloseCase{"create", IRP_MJ_CREATE, "ReadWrite.c:HandleCreateIrp EXIT with status 0x0\n"},
                      OpenCloseCase{"cleanup", IRP_MJ_CLEANUP,
                                    "ReadWrite.c:HandleCleanupIrp EXIT with status STATUS_SUCCESS\n"},
                      OpenCloseCase{"close", IRP_MJ_CLOSE, "ReadWrite.c:HandleCloseIrp EXIT with status 0x0\n"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo::test
