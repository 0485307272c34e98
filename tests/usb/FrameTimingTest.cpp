// The optional timing model: a bulk transfer completes at the next frame
// boundary of the emulated clock.
#include <gtest/gtest.h>

#include "UsbTestSupport.h"

namespace tesmo::test {
namespace {

using namespace emu::usb;

struct SpeedCase {
    const char* label;
    Speed speed;
    emu::Time frame;
};
void PrintTo(const SpeedCase& c, std::ostream* out) { *out << c.label; }

class FrameTiming : public UsbBusTest, public ::testing::WithParamInterface<SpeedCase> {
protected:
    void SetUp() override
    {
        UsbBusTest::SetUp();
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
};

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
                         ::testing::Values(SpeedCase{"full_speed_1ms", Speed::Full, emu::kMillisecond},
                                           SpeedCase{"high_speed_125us", Speed::High, 125 * emu::kMicrosecond}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo::test
