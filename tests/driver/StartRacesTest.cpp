// Requests that meet the port while it starts, restarts or goes away: a read
// as the first start hands out the reassembly buffer, a descriptor read while
// a restart reads the descriptors again, a transfer counted just as the gate
// closes, and a cancel that runs the queue's callbacks after the removal.
#include <gtest/gtest.h>

#include <thread>

#include "DebugPrint.h"
#include "DeviceTest.h"
#include "PortRequest.h"
#include "TesmoIoctl.h"
#include "TraceParking.h"
#include "Win32Handles.h"
#include "emu/Threads.h"

namespace tesmo::test {
namespace {

class StartRacesTest : public BusDeviceOf<emu::usb::ScriptedDevice>, protected Win32Handles {
protected:
    // The driver's device as soon as AddDevice has attached it, while the
    // plug-in is still under way.
    PDEVICE_OBJECT Attached() { return usb().pdo()->AttachedDevice; }
    // Holds the bus at the `n`th descriptor request from now (1: the device
    // descriptor, 2: the configuration header, 3: the whole configuration).
    std::shared_ptr<emu::usb::Hold> HoldDescriptorRequest(std::thread& driver, const std::function<void()>& run, int n)
    {
        auto held = usb().Arm(emu::usb::HoldPoint::UrbReceived, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        driver = std::thread(run);
        for (int request = 1; request < n; ++request) {
            held->WaitUntilHeld();
            auto next = usb().Arm(emu::usb::HoldPoint::UrbReceived, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
            held->Release();
            held = next;
        }
        held->WaitUntilHeld();
        return held;
    }
};

// The race: a read arrives just as the first start has handed out the
// reassembly buffer; it must end at once (the start's gate is still shut to
// it), not wait for a hand-back that never comes, and take nothing away.
TEST_F(StartRacesTest, AReadAsTheFirstStartHandsOutTheBufferEndsAndLosesNothing)
{
    instrument().Packet("hello");
    std::unique_ptr<PortRequest> read;
    NTSTATUS plugged = STATUS_PENDING;
    std::thread plug;
    {
        TraceParking parking(sys(), "Usb.c:SelectConfiguration-reassembly buffer");
        plug = std::thread([&] { plugged = stack().Plug(); });
        parking.WaitParked();
        read = PortRequest::Read(Attached(), 5);
        read->Start();
        read->WaitCompleted();
    }
    plug.join();
    EXPECT_EQ(plugged, STATUS_SUCCESS);
    EXPECT_EQ(read->status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read->Text(), "");
    auto next = PortRequest::Read(fdo(), 5);
    next->Send();
    EXPECT_EQ(next->Text(), "hello");
}

class DescriptorDuringRestart : public StartRacesTest, public ::testing::WithParamInterface<int> {};

// The race: an application reads the configuration descriptor while a
// rebalance's start reads it again from the device.
TEST_P(DescriptorDuringRestart, IsReadWhole)
{
    ASSERT_EQ(stack().Plug(), STATUS_SUCCESS);
    const auto& expected = usb().config().descriptors.configuration;
    std::thread rebalance;
    auto held = HoldDescriptorRequest(
        rebalance, [&] { pnp().Rebalance(node()); }, GetParam());
    auto request = PortRequest::Control(fdo(), IOCTL_READ_CONFIG_DESCRIPTOR, {}, 512);
    request->Send();
    held->Release();
    rebalance.join();
    EXPECT_EQ(request->status(), STATUS_SUCCESS);
    EXPECT_EQ(request->information(), expected.size());
    EXPECT_EQ(request->Output(expected.size()), Bytes(expected.begin(), expected.end()));
    EXPECT_TRUE(request->UnchangedFrom(expected.size()));
}

std::string RestartRequestName(const ::testing::TestParamInfo<int>& info)
{
    static const char* const names[] = {"", "device", "header", "whole_configuration"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(AtTheRestartsRequest, DescriptorDuringRestart, ::testing::Values(1, 2, 3), RestartRequestName);

// The race: a transfer is counted just as a surprise removal closes the
// gate; the removal waits for nothing, so the counted request must back out
// on its own instead of going to the bus.
TEST_F(StartRacesTest, ATransferCountedAsTheGateClosesBacksOut)
{
    ASSERT_EQ(stack().Plug(), STATUS_SUCCESS);
    *DRIVER_SYMBOL(driver(), DebugLevel) = 6;     // the count's own lines
    ASSERT_NE(OpenPort(), INVALID_HANDLE_VALUE);  // keeps the device after the removal
    auto read = PortRequest::Read(fdo(), 5);
    {
        TraceParking parking(sys(), "Tesmo.c: Kavrel_IoIncrement to 1", "reader");
        std::thread reader([&] {
            emu::SetThreadName("reader");
            read->Send();
        });
        parking.WaitParked();
        stack().Unplug();
        parking.Release();
        reader.join();
    }
    EXPECT_EQ(read->status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usb().UrbsReceived(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 0u) << "sent through a closed gate";
    EXPECT_EQ(ext()->OutstandingIo, 0);
}

// The race: an application cancels its held request while the port is being
// removed; the queue's callbacks then run after the removal released what the
// device owns, and must not write into the freed event log.
TEST_F(StartRacesTest, ACancelThatOutlivesTheRemovalWritesNothingFreed)
{
    ASSERT_EQ(stack().Plug(), STATUS_SUCCESS);
    PDEVICE_OBJECT device = fdo();
    ObReferenceObject(device);  // the held request's file object would keep it
    ASSERT_EQ(pnp().Send(node(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    auto request = PortRequest::Control(device, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(ULONG));
    ASSERT_EQ(request->Send(), STATUS_PENDING);
    {
        TraceParking parking(sys(), "Queue.c: KavrelAcquireLock", "canceller");
        std::thread cancel([&] {
            emu::SetThreadName("canceller");
            IoCancelIrp(request->irp());
        });
        parking.WaitParked();
        EXPECT_EQ(pnp().Send(node(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        parking.Release();
        cancel.join();
    }
    request->WaitCompleted();
    EXPECT_EQ(request->status(), STATUS_CANCELLED);
    ObDereferenceObject(device);
}

}  // namespace
}  // namespace tesmo::test
