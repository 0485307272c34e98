// Synchronous USB requests and the outstanding-I/O count that gates them:
// refusal outside AllowRequests, the time-out path with its cancellation, and
// one decrement for every counted request on every path.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "DebugPrint.h"
#include "DriverStack.h"
#include "SystemTest.h"
#include "Tesmo.h"
#include "TraceRecorder.h"
#include "Usb.h"
#include "instrument/ScriptedDevice.h"
#include "usb/Hold.h"

namespace tesmo::test {
namespace {

class UsbRequestTest : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        stack_ = std::make_unique<DriverStack>(sys(), device_);
        ASSERT_EQ(stack_->AddDevice(), STATUS_SUCCESS);
        call_ = DRIVER_SYMBOL(stack_->driver(), SynchCallUSBD);
        ext_ = stack_->extension();
        *DRIVER_SYMBOL(stack_->driver(), DebugLevel) = 6;
        // The bulk pipes as the configuration step would record them.
        ext_->QueueState = AllowRequests;
        ASSERT_EQ(DRIVER_SYMBOL(stack_->driver(), ReadDescriptors)(stack_->fdo()), STATUS_SUCCESS);
        ASSERT_EQ(DRIVER_SYMBOL(stack_->driver(), SelectConfiguration)(stack_->fdo(), ext_->ConfigurationDescriptor),
                  STATUS_SUCCESS);
        std::memset(urb_, 0, sizeof urb_);
    }
    void TearDown() override
    {
        stack_.reset();
        SystemTest::TearDown();
    }

    PURB InUrb()
    {
        auto* urb = reinterpret_cast<PURB>(urb_);
        DRIVER_SYMBOL(stack_->driver(), BuildBulkTransferUrb)(urb, ext_->InPipeHandle,
                                                              USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                                              data_, 64);
        return urb;
    }
    // Runs SynchCallUSBD on another thread (it blocks), with a time limit.
    std::thread CallWithTimeout(LONGLONG timeout, std::atomic<NTSTATUS>& result)
    {
        result = STATUS_PENDING;
        PURB urb = InUrb();
        return std::thread([=, this, &result] {
            LARGE_INTEGER limit{};
            limit.QuadPart = timeout;
            result = call_(stack_->fdo(), urb, &limit);
        });
    }

    emu::usb::ScriptedDevice device_;
    std::unique_ptr<DriverStack> stack_;
    decltype(&SynchCallUSBD) call_ = nullptr;
    PDEVICE_EXTENSION ext_ = nullptr;
    alignas(8) unsigned char urb_[BULK_URB_SIZE];
    unsigned char data_[64];
};

struct RefusalCase {
    const char* label;
    ULONG queueState;
    const char* name;
};
void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.label; }

class UsbRefusal : public UsbRequestTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(UsbRefusal, NothingReachesTheBusOutsideAllowRequests)
{
    TraceRecorder trace(sys());
    unsigned before = stack_->usb().UrbsReceived(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ext_->QueueState = GetParam().queueState;
    EXPECT_EQ(call_(stack_->fdo(), InUrb(), nullptr), STATUS_UNSUCCESSFUL);
    ext_->QueueState = AllowRequests;
    EXPECT_EQ(stack_->usb().UrbsReceived(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), before);
    EXPECT_EQ(ext_->OutstandingIo, 0);
    EXPECT_NE(KeReadStateEvent(&ext_->NoPendingUsbTranfers), 0);
    EXPECT_TRUE(trace.Contains(std::string("Tesmo.c: Kavrel_IoIncrement, in ") + GetParam().name +
                               " state, exiting with STATUS_UNSUCCESSFUL (0xc0000001)\n"));
    EXPECT_TRUE(trace.Contains("Usb.c:SynchCallUSBD-Kavrel_IoIncrement failed with status 0xc0000001\n"));
}

INSTANTIATE_TEST_SUITE_P(States, UsbRefusal,
                         ::testing::Values(RefusalCase{"hold", HoldRequests, "HoldRequests"},
                                           RefusalCase{"fail", FailRequests, "FailRequests"}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(UsbRequestTest, CountIsRaisedWhileARequestIsInFlightAndDroppedAfter)
{
    std::atomic<NTSTATUS> result;
    auto caller = CallWithTimeout(-10 * emu::kSecond, result);
    emu::WaitUntil([&] { return stack_->usb().PendingTransfers() == 1; }, "the IN transfer to wait on the bus");
    EXPECT_EQ(ext_->OutstandingIo, 1);
    EXPECT_EQ(KeReadStateEvent(&ext_->NoPendingUsbTranfers), 0);
    device_.Packet("ok");
    caller.join();
    EXPECT_EQ(result, STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<PURB>(urb_)->UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
    EXPECT_EQ(ext_->OutstandingIo, 0);
    EXPECT_NE(KeReadStateEvent(&ext_->NoPendingUsbTranfers), 0);
}

TEST_F(UsbRequestTest, TimeoutCancelsAndWaitsForTheCancelledRequest)
{
    std::atomic<NTSTATUS> result;
    auto caller = CallWithTimeout(-2 * emu::kSecond, result);
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 1; }, "SynchCallUSBD to wait");
    sys().clock().AdvanceBy(2 * emu::kSecond - 1);
    EXPECT_EQ(result, STATUS_PENDING);
    sys().clock().AdvanceBy(1);
    caller.join();
    EXPECT_EQ(result, STATUS_TIMEOUT);
    EXPECT_EQ(reinterpret_cast<PURB>(urb_)->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(stack_->usb().PendingTransfers(), 0u);
    EXPECT_EQ(ext_->OutstandingIo, 0);
}

// The race: the transfer finishes between the expiry of the wait and the
// cancellation; the call still reports the time-out, and cancelling is safe.
TEST_F(UsbRequestTest, TimeoutIsReportedEvenWhenTheTransferJustFinished)
{
    auto claimed = stack_->usb().Arm(emu::usb::HoldPoint::InClaimed);
    std::atomic<NTSTATUS> result;
    auto caller = CallWithTimeout(-emu::kSecond, result);
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 1; }, "SynchCallUSBD to wait");
    device_.Packet("late");
    claimed->WaitUntilHeld();
    sys().clock().AdvanceBy(emu::kSecond);
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 0; }, "the wait to expire");
    claimed->Release();
    caller.join();
    EXPECT_EQ(result, STATUS_TIMEOUT);
    EXPECT_EQ(reinterpret_cast<PURB>(urb_)->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<PURB>(urb_)->UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
    EXPECT_EQ(ext_->OutstandingIo, 0);
}

TEST_F(UsbRequestTest, EveryCountedRequestIsDecrementedOnEveryPath)
{
    TraceRecorder trace(sys());
    // Success.
    device_.Packet("a");
    EXPECT_EQ(call_(stack_->fdo(), InUrb(), nullptr), STATUS_SUCCESS);
    // A time-out.
    std::atomic<NTSTATUS> result;
    auto caller = CallWithTimeout(-1, result);
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 1; }, "SynchCallUSBD to wait");
    sys().clock().AdvanceBy(1);
    caller.join();
    EXPECT_EQ(result, STATUS_TIMEOUT);
    // No IRP could be built.
    sys().faults().FailNth(emu::FaultSite::IrpBuild, 1);
    EXPECT_EQ(call_(stack_->fdo(), InUrb(), nullptr), STATUS_INSUFFICIENT_RESOURCES);
    // A failure of the transfer (it leaves the pipe halted: last).
    device_.FailIn(USBD_STATUS_STALL_PID);
    EXPECT_EQ(call_(stack_->fdo(), InUrb(), nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(trace.Matching("Kavrel_IoIncrement to ").size(), trace.Matching("Kavrel_IoDecrement to ").size());
    EXPECT_EQ(trace.Matching("Kavrel_IoDecrement to 0").size(), 4u);
    EXPECT_EQ(ext_->OutstandingIo, 0);
    EXPECT_NE(KeReadStateEvent(&ext_->NoPendingUsbTranfers), 0);
}

TEST_F(UsbRequestTest, CancellingInFlightRequestsEndsAnUnansweredRead)
{
    std::atomic<NTSTATUS> result;
    auto caller = CallWithTimeout(-100 * emu::kSecond, result);
    emu::WaitUntil([&] { return stack_->usb().PendingTransfers() == 1; }, "the IN transfer to wait on the bus");
    DRIVER_SYMBOL(stack_->driver(), CancelUsbRequestsInFlight)(ext_);
    caller.join();
    EXPECT_EQ(result, STATUS_CANCELLED);
    EXPECT_EQ(ext_->OutstandingIo, 0);
}

TEST_F(UsbRequestTest, WaitForQuietIsBoundedAndCancelsWhatIsStillInFlight)
{
    std::atomic<NTSTATUS> result;
    auto caller = CallWithTimeout(-1000 * emu::kSecond, result);
    emu::WaitUntil([&] { return stack_->usb().PendingTransfers() == 1; }, "the IN transfer to wait on the bus");
    std::atomic<NTSTATUS> quiet = STATUS_PENDING;
    std::thread waiter([&] { quiet = DRIVER_SYMBOL(stack_->driver(), WaitForUsbQuiet)(ext_); });
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 2; }, "both waits to start");
    sys().clock().AdvanceBy(5 * emu::kSecond - 1);
    EXPECT_EQ(quiet, STATUS_PENDING);
    sys().clock().AdvanceBy(1);
    caller.join();
    waiter.join();
    EXPECT_EQ(result, STATUS_CANCELLED);
    EXPECT_EQ(quiet, STATUS_SUCCESS);
}

}  // namespace
}  // namespace tesmo::test
