// Races around the reassembly buffer: a packet that the bus has already taken
// when a read's limit runs out (nothing the instrument sent may be lost), and a purge that arrives while a read
// owns the buffer. Each is made deterministic with a bus hold point or the
// driver's own trace.
#include <gtest/gtest.h>

#include <cstring>

#include "SerialPortTest.h"
#include "TraceRecorder.h"
#include "emu/Threads.h"
#include "usb/Hold.h"

namespace tesmo::test {
namespace {

struct LateCase {
    const char* label;
    bool statusQuery;                  // the status query's read-ahead instead of a read
    std::vector<std::string> packets;  // before the late one
    ULONG length;
    emu::Time limit;
    std::string late;  // the packet the bus takes as the limit runs out
    bool lateFails;    // it is a failed IN transaction instead
    NTSTATUS status;
    std::string delivered;
    ULONG waitingAfter;
    ULONG offsetAfter;
};
void PrintTo(const LateCase& c, std::ostream* out) { *out << c.label; }

class LatePacket : public SerialPortTest, public ::testing::WithParamInterface<LateCase> {};

// The race: the packet's transfer ends just as the wait for it runs out.
TEST_P(LatePacket, IsDeliveredOrKeptWaiting)
{
    const LateCase& c = GetParam();
    SetReadTimeouts(0, 10);
    for (const auto& packet : c.packets) instrument().Packet(packet);
    auto request = c.statusQuery ? PortRequest::Control(fdo(), IOCTL_SERIAL_GET_COMMSTATUS, {}, 20)
                                 : PortRequest::Read(fdo(), c.length);
    request->Start();
    emu::WaitUntil([&] { return instrument().InWantedCount() != 0; }, "the request to want the late packet");
    ASSERT_TRUE(WaitsOnTheClock(*request));
    auto claimed = usb().Arm(emu::usb::HoldPoint::InClaimed);
    if (c.lateFails) {
        instrument().FailIn(USBD_STATUS_STALL_PID);
    } else {
        instrument().Packet(c.late);
    }
    claimed->WaitUntilHeld();
    sys().clock().AdvanceBy(c.limit);
    EXPECT_EQ(sys().clock().TimedWaiters(), 0u);
    claimed->Release();
    request->WaitCompleted();

    EXPECT_EQ(request->status(), c.status);
    if (c.statusQuery) {
        SERIAL_STATUS status{};
        Bytes bytes = request->Output(sizeof status);
        std::memcpy(&status, bytes.data(), sizeof status);
        EXPECT_EQ(status.AmountInInQueue, c.waitingAfter);
    } else {
        EXPECT_EQ(request->Text(), c.delivered);
    }
    EXPECT_EQ(ext()->StaticBufferBytes, c.waitingAfter);
    if (c.waitingAfter != 0) {
        EXPECT_EQ(ext()->StaticBufferOffset, c.offsetAfter);
        EXPECT_EQ(Read(c.waitingAfter)->Text(), c.late.substr(c.offsetAfter));
    }
}

const std::string kFull(64, 'p');
const std::string kLateFull(64, 'q');

INSTANTIATE_TEST_SUITE_P(
    Cases, LatePacket,
    ::testing::Values(
        LateCase{"single_packet_read_delivers_it",
                 false,
                 {},
                 5,
                 10 * emu::kMillisecond,
                 "0123456789",
                 false,
                 STATUS_TIMEOUT,
                 "01234",
                 5,
                 5},
        LateCase{"long_read_delivers_its_last_packet",
                 false,
                 {kFull},
                 128,
                 10 * emu::kMillisecond,
                 kLateFull,
                 false,
                 STATUS_TIMEOUT,
                 kFull + kLateFull,
                 0,
                 0},
        LateCase{"tail_read_keeps_it",
                 false,
                 {kFull},
                 70,
                 10 * emu::kMillisecond,
                 kLateFull,
                 false,
                 STATUS_TIMEOUT,
                 kFull + "qqqqqq",
                 58,
                 6},
        LateCase{"status_query_keeps_it", true, {}, 0, 2 * emu::kMillisecond, "late!", false, STATUS_SUCCESS, "", 5, 0},
        // A failure is no time-out: a read that got nothing fails with it.
        LateCase{"single_packet_read_fails_with_a_late_failure",
                 false,
                 {},
                 5,
                 10 * emu::kMillisecond,
                 "",
                 true,
                 STATUS_UNSUCCESSFUL,
                 "",
                 0,
                 0},
        LateCase{"long_read_delivers_what_came_before_a_late_failure",
                 false,
                 {kFull},
                 128,
                 10 * emu::kMillisecond,
                 "",
                 true,
                 STATUS_SUCCESS,
                 kFull,
                 0,
                 0}),
    [](const auto& info) { return std::string(info.param.label); });

using ReadRacesTest = SerialPortTest;

// The race: a purge that drops the waiting bytes arrives while a read owns
// the buffer and waits for a packet whose rest it will leave waiting.
TEST_F(ReadRacesTest, APurgeWaitsForTheReadThatOwnsTheBuffer)
{
    TraceRecorder trace(sys());
    auto read = StartRead(5);
    ASSERT_TRUE(WaitsOnTheClock(*read));
    auto purge = PortRequest::Control(fdo(), IOCTL_SERIAL_PURGE, BytesOf(ULONG{SERIAL_PURGE_RXCLEAR}), 0);
    purge->Start();
    emu::WaitUntil([&] { return !trace.Matching("IOCTL_SERIAL_PURGE.  Clearing").empty(); },
                   "the purge to ask for the buffer");
    instrument().Packet("0123456789");
    read->WaitCompleted();
    purge->WaitCompleted();

    EXPECT_EQ(read->Text(), "01234");
    EXPECT_EQ(purge->status(), STATUS_SUCCESS);
    EXPECT_EQ(ext()->StaticBufferBytes, 0u) << "the purge cleared before the read left its rest";
    instrument().Packet("new");
    EXPECT_EQ(Read(5)->Text(), "new");
}

}  // namespace
}  // namespace tesmo::test
