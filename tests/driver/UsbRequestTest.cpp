// Synchronous USB requests and the outstanding-I/O count that gates them:
// refusal outside AllowRequests, the time-out path with its cancellation, and
// one decrement for every counted request on every path.
#include <gtest/gtest.h>

#include <thread>

#include "DebugPrint.h"
#include "SerialPortTest.h"
#include "Tesmo.h"
#include "TraceRecorder.h"
#include "Usb.h"

namespace tesmo::test {
namespace {

// On a started port: the bulk pipes are those its start selected.
class UsbRequestTest : public SerialPortTest {
protected:
    void SetUp() override
    {
        SerialPortTest::SetUp();
        *DRIVER_SYMBOL(driver(), DebugLevel) = 6;
    }

    PURB InUrb()
    {
        auto* urb = reinterpret_cast<PURB>(urb_);
        DRIVER_SYMBOL(driver(), BuildBulkTransferUrb)(urb, ext()->InPipeHandle,
                                                      USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, data_, 64);
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
            result = call_(fdo(), urb, &limit);
        });
    }

    decltype(&SynchCallUSBD) call_ = DRIVER_SYMBOL(driver(), SynchCallUSBD);
    alignas(8) unsigned char urb_[BULK_URB_SIZE] = {};
    unsigned char data_[64];
};

struct RefusalCase {
    const char* label;
    bool surpriseRemoved;  // else a stop is being negotiated
    const char* name;
};
void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.label; }

class UsbRefusal : public UsbRequestTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(UsbRefusal, NothingReachesTheBusOutsideAllowRequests)
{
    TraceRecorder trace(sys());
    unsigned before = BulkTransfers();
    if (GetParam().surpriseRemoved) {
        UnplugHeldOpen();
    } else {
        ASSERT_EQ(HoldQueue(), STATUS_SUCCESS);
    }
    EXPECT_EQ(call_(fdo(), InUrb(), nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usb().UrbsReceived(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), before);
    EXPECT_EQ(ext()->OutstandingIo, 0);
    EXPECT_NE(KeReadStateEvent(&ext()->NoPendingUsbTranfers), 0);
    EXPECT_TRUE(trace.Contains(std::string("Tesmo.c: Kavrel_IoIncrement, in ") + GetParam().name +
                               " state, exiting with STATUS_UNSUCCESSFUL (0xc0000001)\n"));
    EXPECT_TRUE(trace.Contains("Usb.c:SynchCallUSBD-Kavrel_IoIncrement failed with status 0xc0000001\n"));
}

INSTANTIATE_TEST_SUITE_P(States, UsbRefusal,
                         ::testing::Values(RefusalCase{"hold", false, "HoldRequests"},
                                           RefusalCase{"fail", true, "FailRequests"}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(UsbRequestTest, CountIsRaisedWhileARequestIsInFlightAndDroppedAfter)
{
    std::atomic<NTSTATUS> result;
    auto caller = CallWithTimeout(-10 * emu::kSecond, result);
    emu::WaitUntil([&] { return usb().PendingTransfers() == 1; }, "the IN transfer to wait on the bus");
    EXPECT_EQ(ext()->OutstandingIo, 1);
    EXPECT_EQ(KeReadStateEvent(&ext()->NoPendingUsbTranfers), 0);
    instrument().Packet("ok");
    caller.join();
    EXPECT_EQ(result, STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<PURB>(urb_)->UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
    EXPECT_EQ(ext()->OutstandingIo, 0);
    EXPECT_NE(KeReadStateEvent(&ext()->NoPendingUsbTranfers), 0);
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
    EXPECT_EQ(usb().PendingTransfers(), 0u);
    EXPECT_EQ(ext()->OutstandingIo, 0);
}

// The race: the transfer finishes between the expiry of the wait and the
// cancellation; the call still reports the time-out, and cancelling is safe.
TEST_F(UsbRequestTest, TimeoutIsReportedEvenWhenTheTransferJustFinished)
{
    auto claimed = usb().Arm(emu::usb::HoldPoint::InClaimed);
    std::atomic<NTSTATUS> result;
    auto caller = CallWithTimeout(-emu::kSecond, result);
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 1; }, "SynchCallUSBD to wait");
    instrument().Packet("late");
    claimed->WaitUntilHeld();
    sys().clock().AdvanceBy(emu::kSecond);
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 0; }, "the wait to expire");
    claimed->Release();
    caller.join();
    EXPECT_EQ(result, STATUS_TIMEOUT);
    EXPECT_EQ(reinterpret_cast<PURB>(urb_)->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<PURB>(urb_)->UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
    EXPECT_EQ(ext()->OutstandingIo, 0);
}

TEST_F(UsbRequestTest, EveryCountedRequestIsDecrementedOnEveryPath)
{
    TraceRecorder trace(sys());
    // Success.
    instrument().Packet("a");
    EXPECT_EQ(call_(fdo(), InUrb(), nullptr), STATUS_SUCCESS);
    // A time-out.
    std::atomic<NTSTATUS> result;
    auto caller = CallWithTimeout(-1, result);
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 1; }, "SynchCallUSBD to wait");
    sys().clock().AdvanceBy(1);
    caller.join();
    EXPECT_EQ(result, STATUS_TIMEOUT);
    // No IRP could be built.
    sys().faults().FailNth(emu::FaultSite::IrpBuild, 1);
    EXPECT_EQ(call_(fdo(), InUrb(), nullptr), STATUS_INSUFFICIENT_RESOURCES);
    // A failure of the transfer (it leaves the pipe halted: last).
    instrument().FailIn(USBD_STATUS_STALL_PID);
    EXPECT_EQ(call_(fdo(), InUrb(), nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(trace.Matching("Kavrel_IoIncrement to ").size(), trace.Matching("Kavrel_IoDecrement to ").size());
    EXPECT_EQ(trace.Matching("Kavrel_IoDecrement to 0").size(), 4u);
    EXPECT_EQ(ext()->OutstandingIo, 0);
    EXPECT_NE(KeReadStateEvent(&ext()->NoPendingUsbTranfers), 0);
}

TEST_F(UsbRequestTest, CancellingInFlightRequestsEndsAnUnansweredRead)
{
    std::atomic<NTSTATUS> result;
    auto caller = CallWithTimeout(-100 * emu::kSecond, result);
    emu::WaitUntil([&] { return usb().PendingTransfers() == 1; }, "the IN transfer to wait on the bus");
    DRIVER_SYMBOL(driver(), CancelUsbRequestsInFlight)(ext());
    caller.join();
    EXPECT_EQ(result, STATUS_CANCELLED);
    EXPECT_EQ(ext()->OutstandingIo, 0);
}

TEST_F(UsbRequestTest, WaitForQuietIsBoundedAndCancelsWhatIsStillInFlight)
{
    std::atomic<NTSTATUS> result;
    auto caller = CallWithTimeout(-1000 * emu::kSecond, result);
    emu::WaitUntil([&] { return usb().PendingTransfers() == 1; }, "the IN transfer to wait on the bus");
    std::atomic<NTSTATUS> quiet = STATUS_PENDING;
    std::thread waiter([&] { quiet = DRIVER_SYMBOL(driver(), WaitForUsbQuiet)(ext()); });
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
