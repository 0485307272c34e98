// The data path when the device has no reassembly buffer to offer: a port
// without an IN pipe answers at once instead of waiting for a buffer that
// never comes, and a removal waits for a read that still owns the buffer
// before it releases the device's memory.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "SerialPortTest.h"
#include "TraceParking.h"
#include "emu/RemoveLocks.h"
#include "emu/Threads.h"
#include "usb/Descriptors.h"
#include "usb/Hold.h"

namespace tesmo::test {
namespace {

struct NoPipeCase {
    const char* label;
    UCHAR major;
    ULONG code;
    Bytes input;
    ULONG length;  // read length or output length
};
void PrintTo(const NoPipeCase& c, std::ostream* out) { *out << c.label; }

class WithoutInPipe : public SerialPortTest, public ::testing::WithParamInterface<NoPipeCase> {
protected:
    emu::usb::DeviceConfig Config() const override
    {
        emu::usb::DeviceConfig config;
        config.descriptors = emu::usb::descriptors::InEndpointAt0x81(emu::usb::Speed::Full);
        return config;
    }
};

TEST_P(WithoutInPipe, FailsAtOnceWithInvalidDeviceState)
{
    const NoPipeCase& c = GetParam();
    ASSERT_EQ(ext()->ReassemblyBlock, nullptr);
    auto request = c.major == IRP_MJ_READ ? PortRequest::Read(fdo(), c.length)
                                          : PortRequest::Control(fdo(), c.code, c.input, c.length);
    request->Send();  // on the test's thread: a wait for the buffer would never end
    EXPECT_EQ(request->status(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(request->returned(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(request->information(), 0u);
    EXPECT_TRUE(request->UnchangedFrom(0));
    EXPECT_EQ(usb().UrbsReceived(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, WithoutInPipe,
    ::testing::Values(NoPipeCase{"read", IRP_MJ_READ, 0, {}, 10}, NoPipeCase{"read_of_no_bytes", IRP_MJ_READ, 0, {}, 0},
                      NoPipeCase{"purge_receive_clear", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_PURGE, BytesOf(ULONG{8}), 0},
                      NoPipeCase{"status_query", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_COMMSTATUS, {}, 20}),
    [](const auto& info) { return std::string(info.param.label); });

using DataPathLifetimeTest = SerialPortTest;

// The race: the port is removed while a read still owns the reassembly buffer
// after its transfers, about to give the buffer back.
TEST_F(DataPathLifetimeTest, RemovalWaitsForTheReadThatOwnsTheBuffer)
{
    const std::string packet(64, 'p');
    PUCHAR buffer = ext()->ReassemblyBlock;
    auto claimed = usb().Arm(emu::usb::HoldPoint::InClaimed);
    instrument().Packet(packet);
    auto read = StartRead(100);  // a whole packet, then a tail the removal refuses
    claimed->WaitUntilHeld();

    TraceParking parking(sys(), "ReadWrite.c: Read tail failed");
    std::atomic<bool> removed{false};
    std::thread removal([&] {
        emu::SetThreadName("removal");
        pnp().Disable(node());
        removed = true;
        emu::NotifyStateChanged();
    });
    WaitForTimedWaiters(2, "the removal to wait for the read's transfer (the read waits for its limit)");
    claimed->Release();
    parking.WaitParked();
    // The read's dispatch keeps the device object, so its record may be read.
    emu::WaitUntil([&] { return removed || emu::InspectRemoveLock(&ext()->RequestLock).waiters == 1; },
                   "the removal to wait for the read or to finish");
    EXPECT_FALSE(removed) << "the removal did not wait for the read";
    EXPECT_TRUE(sys().pool().IsAllocated(buffer)) << "the buffer was released under the read";
    parking.Release();
    read->WaitCompleted();
    removal.join();

    // The packet it took is delivered; the refused tail is the next read's news.
    EXPECT_EQ(read->status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Text(), packet);
    EXPECT_FALSE(sys().pool().IsAllocated(buffer));
    EXPECT_TRUE(pnp().Info(node()).removed);
}

}  // namespace
}  // namespace tesmo::test
