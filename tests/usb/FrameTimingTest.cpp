// The optional timing model: a bulk transfer completes at the end of the
// frame that carries its last packet, and a frame carries at most 19 packets
// at full speed (1 ms) or 13 at high speed (125 us), shared by the bus's
// bulk endpoints.
#include <gtest/gtest.h>

#include "UsbTestSupport.h"

namespace tesmo::test {
namespace {

using namespace emu::usb;

struct SpeedCase {
    const char* label;
    Speed speed;
    emu::Time frame;
    std::size_t packetSize;
    std::size_t packetsPerFrame;
};
void PrintTo(const SpeedCase& c, std::ostream* out) { *out << c.label; }

class FrameTiming : public UsbBusTest, public ::testing::WithParamInterface<SpeedCase> {
protected:
    void SetUp() override
    {
        DeviceConfig config{descriptors::StandardInstrument(GetParam().speed)};
        config.frameTiming = true;
        Plug(config);
        SelectConfiguration();
        sys().clock().AdvanceBy(GetParam().frame / 3);  // mid-frame
    }
    // Waits until the bus has the transfer waiting for its frame.
    emu::Time WaitForFrameTimer()
    {
        emu::WaitUntil([&] { return sys().clock().NextDeadline().has_value(); }, "the bus to wait for a frame");
        return *sys().clock().NextDeadline();
    }
    // The request is still out just before `at` and done exactly at it.
    void ExpectCompletionAt(BusRequest& request, emu::Time at)
    {
        sys().clock().AdvanceTo(at - 1);
        EXPECT_FALSE(request.completed()) << "early, before " << at;
        sys().clock().AdvanceTo(at);
        EXPECT_EQ(request.Wait(), STATUS_SUCCESS);
    }
    void PushFullPackets(std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) instrument_.Push(Bytes(GetParam().packetSize, std::uint8_t(i)));
    }
};

// 1 MiB is 16384 full-speed packets (862 full frames and 6 packets: 863
// frames) or 2048 high-speed ones (157 full microframes and 7: 158).
TEST_P(FrameTiming, ALongInTransferTakesAFrameForEveryFramesWorthOfPackets)
{
    const auto& c = GetParam();
    const std::size_t packets = (1u << 20) / c.packetSize;
    const emu::Time frames = static_cast<emu::Time>((packets + c.packetsPerFrame - 1) / c.packetsPerFrame);
    std::vector<std::uint8_t> buffer(1u << 20);
    URB urb = BulkUrb(Pipe(0x82), kReadFlags, buffer.data(), static_cast<ULONG>(buffer.size()));
    PushFullPackets(packets);
    BusRequest read(pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    EXPECT_EQ(WaitForFrameTimer(), frames * c.frame);
    ExpectCompletionAt(read, frames * c.frame);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, buffer.size());
}

// A frame filled by the IN pipe leaves the OUT pipe's packet to the next
// one; frames nobody used are not owed later.
TEST_P(FrameTiming, TheBulkPipesShareEachFramesPackets)
{
    const auto& c = GetParam();
    std::vector<std::uint8_t> buffer(c.packetSize * c.packetsPerFrame);
    URB in = BulkUrb(Pipe(0x82), kReadFlags, buffer.data(), static_cast<ULONG>(buffer.size()));
    PushFullPackets(c.packetsPerFrame);
    BusRequest read(pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &in);
    EXPECT_EQ(WaitForFrameTimer(), c.frame);
    std::uint8_t byte = 1;
    URB out = BulkUrb(Pipe(0x01), 0, &byte, 1);
    BusRequest write(pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &out);
    emu::WaitUntil([&] { return instrument_.outTransfers().size() == 1; }, "the OUT bytes to arrive");
    ExpectCompletionAt(read, c.frame);
    ExpectCompletionAt(write, 2 * c.frame);

    sys().clock().AdvanceTo(7 * c.frame + c.frame / 2);
    URB again = BulkUrb(Pipe(0x01), 0, &byte, 1);
    BusRequest late(pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &again);
    EXPECT_EQ(WaitForFrameTimer(), 8 * c.frame);
    ExpectCompletionAt(late, 8 * c.frame);
}

TEST_P(FrameTiming, InTransferCompletesAtTheNextFrameBoundary)
{
    const emu::Time frame = GetParam().frame;
    std::uint8_t buffer[512];
    URB urb = BulkUrb(Pipe(0x82), kReadFlags, buffer, sizeof buffer);
    BusRequest read(pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    instrument_.Push(Bytes(10, 1));
    EXPECT_EQ(WaitForFrameTimer(), frame);
    sys().clock().AdvanceTo(frame - 1);
    EXPECT_FALSE(read.completed());
    sys().clock().AdvanceTo(frame);
    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
}

TEST_P(FrameTiming, OutTransferWaitsForItsFrameAndCanBeCancelledMeanwhile)
{
    std::uint8_t byte = 1;
    URB urb = BulkUrb(Pipe(0x01), 0, &byte, 1);
    BusRequest write(pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    EXPECT_EQ(WaitForFrameTimer(), GetParam().frame);
    EXPECT_EQ(instrument_.outTransfers().size(), 1u);
    EXPECT_TRUE(write.Cancel());
    EXPECT_EQ(write.Wait(), STATUS_CANCELLED);
    sys().clock().AdvanceTo(GetParam().frame);  // the frame passes with nothing left to complete
}

INSTANTIATE_TEST_SUITE_P(Speeds, FrameTiming,
                         ::testing::Values(SpeedCase{"full_speed_1ms", Speed::Full, emu::kMillisecond, 64, 19},
                                           SpeedCase{"high_speed_125us", Speed::High, 125 * emu::kMicrosecond, 512,
                                                     13}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo::test
