// The scripted device: its steps play in order, its failures reach the bus as
// failed transactions, it waits for what it is told to wait for (the host's
// OUT transfers, the test's word, the emulated clock) and it records what the
// host sent.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "FakeBulkPort.h"
#include "SystemTest.h"
#include "emu_usb.h"
#include "instrument/ScriptedDevice.h"

namespace tesmo::test {
namespace {

using emu::usb::ScriptedDevice;

class ScriptedDeviceTest : public SystemTest {
protected:
    ScriptedDevice& device() { return device_; }
    FakeBulkPort& port() { return port_; }

private:
    FakeBulkPort port_{sys().clock(), 64};
    ScriptedDevice device_;
};

TEST_F(ScriptedDeviceTest, PlaysPacketsAndFailuresInOrderOncePluggedIn)
{
    device().Packet(std::vector<std::uint8_t>(64, 0x55));
    device().Packet("abc");
    device().Packet("");
    device().FailIn(USBD_STATUS_STALL_PID);
    device().Packet("after");
    EXPECT_EQ(port().PacketCount(), 0u) << "played before it was plugged in";

    device().Connect(port());
    auto packets = port().Packets();
    ASSERT_EQ(packets.size(), 5u);
    EXPECT_EQ(packets[0].data, std::vector<std::uint8_t>(64, 0x55));
    EXPECT_EQ(packets[1].data, Bytes("abc"));
    EXPECT_TRUE(packets[2].data.empty());
    EXPECT_FALSE(packets[2].failed);
    EXPECT_TRUE(packets[3].failed);
    EXPECT_EQ(packets[3].usbdStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(packets[4].data, Bytes("after"));
    EXPECT_TRUE(device().Finished());
}

TEST_F(ScriptedDeviceTest, WaitsForTheOutTransferBeforeGoingOn)
{
    device().Connect(port());
    device().Packet("ready");
    auto expectOut = device().ExpectOut("MEAS?\n");
    device().Packet("+1.0\n");
    EXPECT_EQ(port().PacketCount(), 1u);
    EXPECT_EQ(device().Position(), expectOut);

    EXPECT_EQ(device().OnBulkOut(Bytes("MEAS?\n")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(port().Messages(), (std::vector<std::string>{"ready", "+1.0\n"}));
    auto outs = device().OutTransfers();
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_EQ(outs[0].step, expectOut);
    EXPECT_TRUE(device().Problems().empty());
}

TEST_F(ScriptedDeviceTest, ScriptedOutFailureCompletesTheTransferAndAMismatchIsReported)
{
    device().Connect(port());
    device().ExpectOut("*RST\n", USBD_STATUS_STALL_PID);
    device().ExpectOut();  // any bytes

    EXPECT_EQ(device().OnBulkOut(Bytes("*RST\r\n")), USBD_STATUS_STALL_PID);
    EXPECT_EQ(device().OnBulkOut(Bytes("whatever")), USBD_STATUS_SUCCESS);
    auto problems = device().Problems();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("step 0"), std::string::npos) << problems[0];
    EXPECT_NE(problems[0].find("2a 52 53 54 0d 0a"), std::string::npos) << problems[0];
}

TEST_F(ScriptedDeviceTest, OutTransferNobodyWaitsForIsAcceptedAndRecorded)
{
    device().Connect(port());
    device().Silence();
    EXPECT_EQ(device().OnBulkOut(Bytes("stray")), USBD_STATUS_SUCCESS);
    auto outs = device().OutTransfers();
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_EQ(outs[0].bytes, Bytes("stray"));
    EXPECT_EQ(outs[0].step, std::nullopt);
    EXPECT_EQ(device().Position(), 0u) << "a stray OUT ended the silence";
}

TEST_F(ScriptedDeviceTest, SilenceHoldsTheScriptUntilReleased)
{
    device().Connect(port());
    EXPECT_FALSE(device().Release()) << "released a silence that is not there";
    device().Silence();
    device().Packet("late");
    sys().clock().AdvanceBy(emu::kSecond);
    EXPECT_EQ(port().PacketCount(), 0u);
    EXPECT_TRUE(device().Release());
    EXPECT_EQ(port().Messages(), std::vector<std::string>{"late"});
}

TEST_F(ScriptedDeviceTest, DelayEndsExactlyWhenTheClockHasMovedOnByIt)
{
    device().Connect(port());
    sys().clock().AdvanceBy(7 * emu::kMillisecond);  // counted from reaching the step, not from zero
    device().Delay(20 * emu::kMillisecond);
    device().Packet("tick");
    sys().clock().AdvanceBy(20 * emu::kMillisecond - 1);
    EXPECT_EQ(port().PacketCount(), 0u);
    sys().clock().AdvanceBy(1);
    EXPECT_EQ(port().PacketCount(), 1u);
}

TEST_F(ScriptedDeviceTest, DelayPendingAtUnplugNeverPushesAndStartsAfreshOnReplug)
{
    device().Connect(port());
    device().Delay(20 * emu::kMillisecond);
    device().Packet("x");
    sys().clock().AdvanceBy(10 * emu::kMillisecond);
    device().Disconnect();
    port().MarkUnplugged();
    EXPECT_EQ(sys().clock().NextDeadline(), std::nullopt);
    sys().clock().AdvanceBy(emu::kSecond);
    EXPECT_EQ(port().PushesAfterUnplug(), 0u);

    FakeBulkPort replugged(sys().clock(), 64);
    device().Connect(replugged);
    sys().clock().AdvanceBy(20 * emu::kMillisecond - 1);
    EXPECT_EQ(replugged.PacketCount(), 0u);
    sys().clock().AdvanceBy(1);
    EXPECT_EQ(replugged.PacketCount(), 1u);
    device().Disconnect();
}

TEST_F(ScriptedDeviceTest, PacketLargerThanThePipeCarriesFailsTheTestLoudly)
{
    device().Connect(port());
    device().Packet(std::vector<std::uint8_t>(65, 0));
    device().Packet("next");
    EXPECT_EQ(TakeViolations(emu::Rule::NotModelled).size(), 1u);
    EXPECT_EQ(port().Messages(), std::vector<std::string>{"next"});
}

// The host's OUT transfer arrives on the bus thread while the test waits for the script.
TEST_F(ScriptedDeviceTest, TestWaitsUntilTheScriptReachesAStepPlayedOnAnotherThread)
{
    device().Connect(port());
    device().ExpectOut("A");
    device().ExpectOut("B");
    auto last = device().Packet("done");
    std::thread bus([&] {
        emu::SetThreadName("bus");
        device().OnBulkOut(Bytes("A"));
        device().OnBulkOut(Bytes("B"));
    });
    EXPECT_TRUE(device().WaitUntilReached(last));
    EXPECT_TRUE(device().WaitUntilFinished());
    bus.join();
    EXPECT_EQ(port().Messages(), std::vector<std::string>{"done"});
    EXPECT_TRUE(device().Problems().empty());
}

}  // namespace
}  // namespace tesmo::test
