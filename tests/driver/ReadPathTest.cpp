// The read path: bytes waiting in the reassembly buffer are served first,
// then one packet for a small remainder or whole packets straight into the
// caller's buffer plus one packet for the tail; the per-packet wait limit
// from the read time-outs; and what each failure leaves behind.
#include <gtest/gtest.h>

#include <optional>

#include "SerialPortTest.h"

namespace tesmo::test {
namespace {

const std::string kWaiting25 = "ABCDEFGHIJKLMNOPQRSTUVWXY";
const std::string kFull(64, 'p');
const std::string kWaiting30(30, 'w');
const std::string kNextFull = std::string(32, 't') + std::string(32, 'u');

using ReadPathTest = SerialPortTest;

struct PacketCase {
    const char* label;
    std::string waiting;               // parked at offset 0 before the read
    std::vector<std::string> packets;  // what the instrument sends next
    ULONG length;
    std::string delivered;
    ULONG waitingAfter;
    ULONG offsetAfter;  // checked only while bytes wait
    unsigned transfers;
};
void PrintTo(const PacketCase& c, std::ostream* out) { *out << c.label; }

class ReadArithmetic : public ReadPathTest, public ::testing::WithParamInterface<PacketCase> {};

TEST_P(ReadArithmetic, DeliversAndKeepsTheRightBytes)
{
    const PacketCase& c = GetParam();
    if (!c.waiting.empty()) LeaveWaiting(c.waiting);
    for (const auto& packet : c.packets) instrument().Packet(packet);
    unsigned before = BulkTransfers();

    auto read = Read(c.length);

    EXPECT_EQ(read->status(), STATUS_SUCCESS);
    EXPECT_EQ(read->returned(), STATUS_SUCCESS);
    EXPECT_EQ(read->Text(), c.delivered);
    EXPECT_TRUE(read->UnchangedFrom(c.delivered.size())) << "bytes written beyond what was delivered";
    EXPECT_EQ(ext()->StaticBufferBytes, c.waitingAfter);
    if (c.waitingAfter != 0) {
        EXPECT_EQ(ext()->StaticBufferOffset, c.offsetAfter);
    }
    EXPECT_EQ(BulkTransfers() - before, c.transfers);
    EXPECT_EQ(usb().QueuedInPackets(), 0u) << "a packet the read should have taken";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadArithmetic,
    ::testing::Values(
        PacketCase{"served_from_waiting_bytes", kWaiting25, {}, 10, "ABCDEFGHIJ", 15, 10, 0},
        PacketCase{"zero_bytes_with_bytes_waiting", kWaiting25, {}, 0, "", 25, 0, 0},
        PacketCase{"zero_bytes_parks_one_packet", "", {"hello"}, 0, "", 5, 0, 1},
        PacketCase{"short_packet_ends_a_small_read", "", {"xyz"}, 5, "xyz", 0, 0, 1},
        PacketCase{"packet_rest_waits", "", {"0123456789"}, 5, "01234", 5, 5, 1},
        PacketCase{"waiting_bytes_then_a_packet", "abc", {"defgh"}, 5, "abcde", 3, 2, 1},
        PacketCase{
            "whole_packets_and_a_tail", kWaiting30, {kFull, kNextFull}, 100, kWaiting30 + kFull + "tttttt", 58, 6, 2},
        PacketCase{"short_packet_ends_the_whole_packets", "", {kFull, "short"}, 200, kFull + "short", 0, 0, 1},
        PacketCase{"whole_packets_without_a_tail", "", {kFull, kNextFull}, 128, kFull + kNextFull, 0, 0, 1},
        PacketCase{"tail_packet_shorter_than_the_tail", "", {kFull, "xy"}, 70, kFull + "xy", 0, 0, 2}),
    [](const auto& info) { return std::string(info.param.label); });

// A restart configures the device again: the reassembly buffer stays, and
// with it the bytes waiting there.
TEST_F(ReadPathTest, BytesWaitingBeforeARestartAreServedAfterIt)
{
    LeaveWaiting("12345");
    ASSERT_EQ(pnp().Rebalance(node()), STATUS_SUCCESS);
    EXPECT_EQ(Read(5)->Text(), "12345");
}

TEST_F(ReadPathTest, TheRestOfASplitPacketIsServedByTheNextReads)
{
    instrument().Packet(kFull);
    instrument().Packet(kNextFull);
    EXPECT_EQ(Read(70)->Text(), kFull + "tttttt");
    EXPECT_EQ(Read(30)->Text(), std::string(26, 't') + "uuuu");
    instrument().Packet("vvv");
    EXPECT_EQ(Read(40)->Text(), std::string(28, 'u') + "vvv");
}

// ---- the wait limit of a packet read ----

struct LimitCase {
    const char* label;
    std::optional<std::pair<ULONG, ULONG>> timeouts;  // multiplier, constant; none: as started
    ULONG length;
    std::vector<std::string> packets;  // before the packet that never comes
    emu::Time limit;
    std::string delivered;
};
void PrintTo(const LimitCase& c, std::ostream* out) { *out << c.label; }

class ReadLimit : public ReadPathTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(ReadLimit, TimesOutExactlyAtTheLimit)
{
    const LimitCase& c = GetParam();
    if (c.timeouts) SetReadTimeouts(c.timeouts->first, c.timeouts->second);
    for (const auto& packet : c.packets) instrument().Packet(packet);

    auto read = StartRead(c.length);
    // Every transfer of a read waits on the clock: the one that waits for
    // the packet that never comes is the one the instrument has nothing for.
    emu::WaitUntil([&] { return instrument().InWantedCount() != 0 || read->completed(); },
                   "the read to want a packet the instrument does not have");
    ASSERT_TRUE(WaitsOnTheClock(*read)) << "did not wait for the packet";
    sys().clock().AdvanceBy(c.limit - 1);
    EXPECT_EQ(sys().clock().TimedWaiters(), 1u) << "gave up before the limit";
    EXPECT_TRUE(EveryWaitEndsAfter(1)) << "still waiting after the limit";
    read->WaitCompleted();

    EXPECT_EQ(read->status(), STATUS_TIMEOUT);
    EXPECT_EQ(read->returned(), STATUS_TIMEOUT);
    EXPECT_EQ(read->Text(), c.delivered);
    EXPECT_TRUE(read->UnchangedFrom(c.delivered.size()));
    EXPECT_EQ(ext()->StaticBufferBytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadLimit,
    ::testing::Values(
        LimitCase{"start_values_wait_120_s", std::nullopt, 10, {}, 120 * emu::kSecond, ""},
        LimitCase{
            "length_times_twice_the_multiplier_plus_constant", std::pair{3u, 7u}, 10, {}, 67 * emu::kMillisecond, ""},
        LimitCase{
            "doubled_multiplier_wraps_at_32_bits", std::pair{0x80000001u, 5u}, 10, {}, 25 * emu::kMillisecond, ""},
        LimitCase{"product_beyond_32_bits",
                  std::pair{0x7FFFFFFFu, 0u},
                  3,
                  {},
                  3 * emu::Time{0xFFFFFFFE} * emu::kMillisecond,
                  ""},
        LimitCase{"tail_waits_by_the_whole_length", std::pair{1u, 0u}, 100, {kFull}, 200 * emu::kMillisecond, kFull},
        LimitCase{"whole_packets_wait_by_the_limit_too", std::pair{0u, 50u}, 65, {}, 50 * emu::kMillisecond, ""},
        LimitCase{"whole_packets_deliver_what_came_by_the_limit",
                  std::pair{0u, 50u},
                  200,
                  {kFull},
                  50 * emu::kMillisecond,
                  kFull}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ReadPathTest, AZeroLimitGivesUpAtOnceWhenNothingHasArrived)
{
    SetReadTimeouts(0, 0);
    emu::Time before = sys().clock().Now();
    auto read = Read(10);
    EXPECT_EQ(read->status(), STATUS_TIMEOUT);
    EXPECT_EQ(read->information(), 0u);
    EXPECT_EQ(sys().clock().Now(), before);
    EXPECT_EQ(usb().PendingTransfers(), 0u) << "the abandoned transfer was not cancelled";
}

// ---- failures ----

enum class Fault { BulkUrbFails, NoMemoryForTheUrb, NoRequestForTheUrb, QueueHeld };

struct FailureCase {
    const char* label;
    std::string waiting;
    std::vector<std::string> packets;
    Fault fault;
    unsigned nth;  // BulkUrbFails: which bulk URB of the read fails
    ULONG length;
    NTSTATUS status;
    std::string delivered;
};
void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.label; }

class ReadFailure : public ReadPathTest, public ::testing::WithParamInterface<FailureCase> {
protected:
    void Inject(const FailureCase& c)
    {
        switch (c.fault) {
        case Fault::BulkUrbFails:
            usb().FailUrb(emu::usb::UrbFailure{URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, std::nullopt,
                                               USBD_STATUS_STALL_PID, STATUS_DEVICE_DATA_ERROR, c.nth});
            break;
        case Fault::NoMemoryForTheUrb: sys().faults().FailNth(emu::FaultSite::Pool, 1); break;
        case Fault::NoRequestForTheUrb: sys().faults().FailNth(emu::FaultSite::IrpBuild, 1); break;
        case Fault::QueueHeld: ASSERT_EQ(HoldQueue(), STATUS_SUCCESS); break;
        }
    }
    void Restore(const FailureCase& c)
    {
        sys().faults().Disarm();
        if (c.fault == Fault::QueueHeld) {
            ASSERT_EQ(ReleaseQueue(), STATUS_SUCCESS);
        }
    }
};

TEST_P(ReadFailure, ReportsTheStatusAndFreesTheBufferForTheNextRead)
{
    const FailureCase& c = GetParam();
    if (!c.waiting.empty()) LeaveWaiting(c.waiting);
    for (const auto& packet : c.packets) instrument().Packet(packet);
    auto read = PortRequest::Read(fdo(), c.length);
    Inject(c);
    read->Send();
    Restore(c);

    EXPECT_EQ(read->status(), c.status);
    EXPECT_EQ(read->returned(), c.status);
    EXPECT_EQ(read->Text(), c.delivered);
    EXPECT_TRUE(read->UnchangedFrom(c.delivered.size()));
    EXPECT_EQ(ext()->StaticBufferBytes, 0u);
    EXPECT_EQ(ext()->StaticBuffer, ext()->ReassemblyBlock) << "the buffer was not given back";

    instrument().Packet("next");
    EXPECT_EQ(Read(4)->Text(), "next");
}

// Bytes a read has taken exist nowhere else: when a transfer fails after
// some were taken, the read delivers them as a short read.
INSTANTIATE_TEST_SUITE_P(
    Cases, ReadFailure,
    ::testing::Values(
        FailureCase{"single_packet_fails", "abc", {}, Fault::BulkUrbFails, 1, 10, STATUS_SUCCESS, "abc"},
        FailureCase{"whole_packets_fail", kWaiting30, {}, Fault::BulkUrbFails, 1, 100, STATUS_SUCCESS, kWaiting30},
        FailureCase{"tail_fails", "", {kFull}, Fault::BulkUrbFails, 2, 100, STATUS_SUCCESS, kFull},
        FailureCase{
            "nothing_taken_before_the_failure", "", {}, Fault::BulkUrbFails, 1, 10, STATUS_DEVICE_DATA_ERROR, ""},
        FailureCase{"no_memory_for_the_urb", "abc", {}, Fault::NoMemoryForTheUrb, 0, 10, STATUS_SUCCESS, "abc"},
        FailureCase{
            "no_request_for_the_urb", "", {}, Fault::NoRequestForTheUrb, 0, 10, STATUS_INSUFFICIENT_RESOURCES, ""},
        FailureCase{"device_not_accepting_io", "abc", {}, Fault::QueueHeld, 0, 10, STATUS_SUCCESS, "abc"},
        FailureCase{"device_not_accepting_io_on_a_long_read",
                    kWaiting30,
                    {},
                    Fault::QueueHeld,
                    0,
                    100,
                    STATUS_SUCCESS,
                    kWaiting30},
        FailureCase{
            "device_not_accepting_io_with_nothing_waiting", "", {}, Fault::QueueHeld, 0, 10, STATUS_UNSUCCESSFUL, ""}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo::test
