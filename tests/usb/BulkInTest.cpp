// Bulk IN transfers: how packets fill a transfer and end it, stalls and
// their reset, cancellation (with the cancel-versus-completion race in both
// orders), and pipe abort.
#include <gtest/gtest.h>

#include <cstring>

#include "UsbTestSupport.h"

namespace tesmo::test {
namespace {

using namespace emu::usb;

constexpr std::uint8_t kUnwritten = 0xEE;

Bytes Pattern(std::size_t size, std::uint8_t first)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

class BulkInTest : public UsbBusTest {
protected:
    void SetUp() override
    {
        Plug();
        SelectConfiguration();
        std::memset(buffer_, kUnwritten, sizeof buffer_);
    }
    // An IN transfer on the instrument's pipe into buffer_, left waiting.
    std::unique_ptr<BusRequest> StartRead(URB& urb, ULONG length, ULONG flags = kReadFlags)
    {
        urb = BulkUrb(Pipe(0x82), flags, buffer_, length);
        auto request = std::make_unique<BusRequest>(pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
        EXPECT_EQ(request->returned(), STATUS_PENDING);
        return request;
    }
    void WaitPending(std::size_t count)
    {
        emu::WaitUntil([&] { return device_->PendingTransfers() == count; },
                       std::to_string(count) + " transfer(s) waiting on the bus");
    }

    std::uint8_t buffer_[256];
};

struct InCase {
    const char* label;
    ULONG length;
    ULONG flags;
    std::vector<Bytes> packets;  // kStall stands for a stall handshake
    NTSTATUS status;
    USBD_STATUS usbdStatus;
    ULONG received;
    bool halted;
};
void PrintTo(const InCase& c, std::ostream* out) { *out << c.label; }

const Bytes kStall{0xFA, 0x11};

class InTransferMatrix : public BulkInTest, public ::testing::WithParamInterface<InCase> {};

TEST_P(InTransferMatrix, PacketsEndTheTransferAsTheBusWould)
{
    const InCase& c = GetParam();
    URB urb;
    auto read = StartRead(urb, c.length, c.flags);
    for (std::size_t i = 0; i < c.packets.size(); ++i) {
        if (c.packets[i] == kStall) {
            instrument_.PushFailure(USBD_STATUS_STALL_PID);
        } else {
            instrument_.Push(Pattern(c.packets[i].size(), static_cast<std::uint8_t>(i * 64)));
        }
    }
    EXPECT_EQ(read->Wait(), c.status);
    EXPECT_EQ(urb.UrbHeader.Status, c.usbdStatus);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, c.received);
    EXPECT_EQ(Bytes(buffer_, buffer_ + c.received), Pattern(c.received, 0));
    EXPECT_EQ(buffer_[c.received], kUnwritten);
    EXPECT_EQ(device_->PipeHalted(0x82), c.halted);
}

Bytes Packet(std::size_t size) { return Bytes(size); }

INSTANTIATE_TEST_SUITE_P(
    Packets, InTransferMatrix,
    ::testing::Values(
        InCase{"exact_multiple", 128, kReadFlags, {Packet(64), Packet(64)}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 128,
               false},
        InCase{"short_packet_ends_it", 192, kReadFlags, {Packet(64), Packet(10)}, STATUS_SUCCESS,
               USBD_STATUS_SUCCESS, 74, false},
        InCase{"zero_length_packet_ends_it", 192, kReadFlags, {Packet(64), Packet(0)}, STATUS_SUCCESS,
               USBD_STATUS_SUCCESS, 64, false},
        InCase{"short_without_short_transfer_ok", 128, USBD_TRANSFER_DIRECTION_IN, {Packet(10)},
               STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_UNDERRUN, 10, true},
        InCase{"packet_larger_than_room_left", 100, kReadFlags, {Packet(64), Packet(64)}, STATUS_UNSUCCESSFUL,
               USBD_STATUS_DATA_OVERRUN, 64, true},
        InCase{"packet_larger_than_packet_size", 128, kReadFlags, {Packet(65)}, STATUS_UNSUCCESSFUL,
               USBD_STATUS_BABBLE_DETECTED, 0, true},
        InCase{"stall_after_a_packet", 128, kReadFlags, {Packet(64), kStall}, STATUS_UNSUCCESSFUL,
               USBD_STATUS_STALL_PID, 64, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(BulkInTest, WaitsUntilTheInstrumentHasAPacket)
{
    URB urb;
    auto read = StartRead(urb, 64);
    emu::WaitUntil([&] { return instrument_.inWanted() == 1; }, "the bus to ask the instrument for data");
    EXPECT_FALSE(read->completed());
    instrument_.Push(Pattern(64, 0));
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
}

TEST_F(BulkInTest, AnInstrumentThatProducesOnDemandFillsALongTransfer)
{
    instrument_.AnswerWhenAsked({Pattern(64, 0), Pattern(64, 64), Pattern(20, 128)});
    URB urb;
    auto read = StartRead(urb, 256);
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 148u);
    EXPECT_EQ(Bytes(buffer_, buffer_ + 148), Pattern(148, 0));
}

TEST_F(BulkInTest, QueuedPacketsGoToTransfersInOrder)
{
    instrument_.Push(Pattern(64, 0));
    instrument_.Push(Pattern(5, 100));
    emu::WaitUntil([&] { return device_->QueuedInPackets() == 2; }, "two packets queued");
    URB first;
    auto one = StartRead(first, 64);
    EXPECT_EQ(one->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(buffer_[0], 0);
    URB second;
    auto two = StartRead(second, 64);
    EXPECT_EQ(two->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(second.UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
    EXPECT_EQ(buffer_[0], 100);
}

TEST_F(BulkInTest, AStalledPipeFailsTransfersUntilItIsReset)
{
    URB first, waiting;
    auto stalled = StartRead(first, 64);
    WaitPending(1);
    auto behind = StartRead(waiting, 64);
    WaitPending(2);
    instrument_.PushFailure(USBD_STATUS_STALL_PID);
    EXPECT_EQ(stalled->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(behind->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(waiting.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);

    URB later;
    auto refused = StartRead(later, 64);
    EXPECT_EQ(refused->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(later.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);

    URB reset = PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(0x82));
    EXPECT_EQ(SubmitUrb(pdo(), reset), STATUS_SUCCESS);
    EXPECT_EQ(instrument_.resets(), std::vector<std::uint8_t>{0x82});
    EXPECT_FALSE(device_->PipeHalted(0x82));
    URB after;
    auto works = StartRead(after, 64);
    instrument_.Push(Pattern(64, 0));
    EXPECT_EQ(works->Wait(), STATUS_SUCCESS);
}

TEST_F(BulkInTest, CancellingAWaitingTransferCompletesItCancelled)
{
    URB urb;
    auto read = StartRead(urb, 64);
    WaitPending(1);
    EXPECT_TRUE(read->Cancel());
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(device_->PendingTransfers(), 0u);
    // The packet that comes later goes to the next transfer.
    instrument_.Push(Pattern(64, 7));
    URB next;
    auto again = StartRead(next, 64);
    EXPECT_EQ(again->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(buffer_[0], 7);
}

// Race: the cancel arrives while the bus has the data in but has not yet
// taken the transfer back from cancellation; the cancel completes it.
TEST_F(BulkInTest, CancelBeforeTheBusClaimsTheTransferWins)
{
    auto hold = device_->Arm(HoldPoint::InDataReady);
    URB urb;
    auto read = StartRead(urb, 64);
    instrument_.Push(Pattern(64, 0));
    hold->WaitUntilHeld();
    EXPECT_EQ(hold->irp(), read->irp());
    EXPECT_TRUE(read->Cancel());
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    hold->Release();
    emu::WaitUntil([&] { return hold->passed(); }, "the bus thread to go on");
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
}

// Race: the bus has taken the transfer back from cancellation when the
// cancel arrives; the cancel finds no routine and the bus completes it.
TEST_F(BulkInTest, CancelAfterTheBusClaimedTheTransferLoses)
{
    auto hold = device_->Arm(HoldPoint::InClaimed);
    URB urb;
    auto read = StartRead(urb, 64);
    instrument_.Push(Pattern(64, 0));
    hold->WaitUntilHeld();
    EXPECT_FALSE(read->Cancel());
    EXPECT_FALSE(read->completed());
    hold->Release();
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
}

// Race: the cancel arrives before the bus thread has queued the transfer
// (no cancel routine yet); the bus sees the cancel flag when it queues it.
TEST_F(BulkInTest, CancelBeforeTheTransferIsQueuedIsHonoured)
{
    auto hold = device_->Arm(HoldPoint::UrbReceived, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    URB urb;
    auto read = StartRead(urb, 64);
    hold->WaitUntilHeld();
    EXPECT_FALSE(read->Cancel());
    hold->Release();
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(device_->PendingTransfers(), 0u);
}

TEST_F(BulkInTest, AbortCancelsEveryTransferOnThePipeOnly)
{
    URB a, b, interrupt;
    auto first = StartRead(a, 64);
    auto second = StartRead(b, 64);
    std::uint8_t small[8];
    interrupt = BulkUrb(Pipe(0x83), kReadFlags, small, sizeof small);
    BusRequest status(pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &interrupt);
    WaitPending(3);

    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, Pipe(0x82));
    EXPECT_EQ(SubmitUrb(pdo(), abort), STATUS_SUCCESS);
    EXPECT_EQ(first->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(second->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(b.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_FALSE(status.completed()) << "the interrupt pipe's transfer still waits";
    EXPECT_EQ(instrument_.resets(), std::vector<std::uint8_t>{0x82});

    URB abortInterrupt = PipeUrb(URB_FUNCTION_ABORT_PIPE, Pipe(0x83));
    EXPECT_EQ(SubmitUrb(pdo(), abortInterrupt), STATUS_SUCCESS);
    EXPECT_EQ(status.Wait(), STATUS_CANCELLED);
}

TEST_F(BulkInTest, RequestsThatNameNoUsablePipeAreRefused)
{
    std::uint8_t data[64];
    URB unknown = BulkUrb(reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), kReadFlags, data, sizeof data);
    EXPECT_EQ(SubmitUrb(pdo(), unknown), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unknown.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    URB wrongDirection = BulkUrb(Pipe(0x82), 0, data, sizeof data);
    EXPECT_EQ(SubmitUrb(pdo(), wrongDirection), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(wrongDirection.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, nullptr);
    EXPECT_EQ(SubmitUrb(pdo(), abort), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(abort.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

}  // namespace
}  // namespace tesmo::test
