// Wait-wake requests: the driver's own and its cancellation at removal (the
// request comes back exactly once however its end meets the cancel), and a
// request that only passes through, which goes back up untouched and is left
// to its owner.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "DeviceTest.h"
#include "Power.h"
#include "TraceParking.h"
#include "TraceRecorder.h"
#include "emu/Threads.h"

namespace tesmo::test {
namespace {

// Makes the next wait-wake request the driver's own, with wake enabled. No
// path of the driver asks for one of its own yet, so the test sets the two
// marks the driver would set just before asking.
void IssueAsOwn(PDEVICE_EXTENSION record)
{
    record->WaitWakeEnabled = 1;
    record->WaitWakeIssuing = 1;
}

class WaitWakeCancelTest : public StartedPortTest {
protected:
    // One wait-wake request and what came back to its requester.
    struct WaitWake {
        PIRP irp = nullptr;
        std::atomic<int> completions{0};
        std::atomic<NTSTATUS> status{STATUS_PENDING};
    };

    static VOID NTAPI Finished(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status)
    {
        auto* request = static_cast<WaitWake*>(context);
        request->status = status->Status;
        ++request->completions;
        emu::NotifyStateChanged();
    }
    // Sends a wait-wake request down the port's stack and waits until the bus holds it.
    void Issue(WaitWake& request)
    {
        POWER_STATE state;
        state.SystemState = PowerSystemSleeping3;
        ASSERT_EQ(PoRequestPowerIrp(fdo(), IRP_MN_WAIT_WAKE, state, Finished, &request, &request.irp), STATUS_PENDING);
        emu::WaitUntil([&] { return usb().WaitWakePending(); }, "the wait-wake request to reach the bus");
    }
    void WaitFinished(WaitWake& request)
    {
        emu::WaitUntil([&] { return request.completions > 0; }, "the wait-wake request to come back");
    }
    void CancelOwnWaitWake() { DRIVER_SYMBOL(driver(), CancelWaitWake)(ext()); }
};

enum class End { Removal, Unplug, WakeDuringCancel };

struct EndCase {
    const char* label;
    End end;
    NTSTATUS status;  // what the requester sees
};
void PrintTo(const EndCase& c, std::ostream* out) { *out << c.label; }

class OwnWaitWake : public WaitWakeCancelTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(OwnWaitWake, ComesBackExactlyOnce)
{
    const EndCase& c = GetParam();
    WaitWake own;
    IssueAsOwn(ext());
    Issue(own);
    switch (c.end) {
    case End::Removal:
        // Not surprise-removed: the removal itself cancels the request.
        ASSERT_EQ(pnp().Disable(node()), STATUS_SUCCESS);
        break;
    case End::Unplug:
        // The bus ends the request before the surprise removal reaches the driver.
        stack().Unplug();
        break;
    case End::WakeDuringCancel: {
        // The race: the wake completes the request while the driver cancels it.
        TraceParking parking(sys(), "Power.c:WaitWakeCompletionRoutine ENTRY");
        std::thread wake([&] { usb().SignalWake(); });
        parking.WaitParked();
        CancelOwnWaitWake();
        EXPECT_EQ(own.completions, 0) << "completed while its completion routine had not finished";
        parking.Release();
        wake.join();
        break;
    }
    }
    WaitFinished(own);
    EXPECT_EQ(own.status, c.status);
    EXPECT_FALSE(usb().WaitWakePending());
    EXPECT_EQ(own.completions, 1);
}

INSTANTIATE_TEST_SUITE_P(Ends, OwnWaitWake,
                         ::testing::Values(EndCase{"cancelled_by_the_removal", End::Removal, STATUS_CANCELLED},
                                           EndCase{"ended_by_the_bus_at_an_unplug", End::Unplug, STATUS_CANCELLED},
                                           EndCase{"woken_while_the_driver_cancels", End::WakeDuringCancel,
                                                   STATUS_SUCCESS}),
                         [](const auto& info) { return std::string(info.param.label); });

// Each request the driver issues is cancelled on its own terms, whatever an
// earlier one's cancellation left behind.
TEST_F(WaitWakeCancelTest, ASecondOwnRequestIsCancelledAsTheFirstWas)
{
    for (int round = 0; round < 2; ++round) {
        WaitWake own;
        IssueAsOwn(ext());
        Issue(own);
        CancelOwnWaitWake();
        WaitFinished(own);
        EXPECT_EQ(own.status, STATUS_CANCELLED) << "round " << round;
        EXPECT_FALSE(usb().WaitWakePending()) << "round " << round;
        EXPECT_EQ(own.completions, 1) << "round " << round;
    }
}

// A request that only passes through belongs to whoever sent it: the driver's
// cancel leaves it pending, and it goes back up once when its owner ends it.
TEST_F(WaitWakeCancelTest, APassingRequestIsLeftToItsOwner)
{
    WaitWake passing;
    Issue(passing);
    ext()->WaitWakeEnabled = 1;
    CancelOwnWaitWake();
    EXPECT_TRUE(usb().WaitWakePending()) << "the driver cancelled a request it does not own";
    EXPECT_EQ(passing.completions, 0);

    IoCancelIrp(passing.irp);
    WaitFinished(passing);
    EXPECT_EQ(passing.status, STATUS_CANCELLED);
    EXPECT_EQ(passing.completions, 1);
}

// Nothing arms a wait-wake request of the driver's own, so every one that
// passes through must go back up: kept, nobody would finish it.
TEST_F(WaitWakeCancelTest, APassingWaitWakeRequestCompletesUpward)
{
    TraceRecorder trace(sys());
    for (int round = 0; round < 2; ++round) {
        WaitWake passing;
        Issue(passing);
        usb().SignalWake();
        WaitFinished(passing);
        EXPECT_EQ(passing.status, STATUS_SUCCESS) << "round " << round;
    }
    EXPECT_TRUE(trace.Matching("WaitWakeCompletionRoutine").empty())
        << "a passing request is not the driver's business";
    // The dispatch that passed it down lets go of its hold once the call returns.
    emu::WaitUntil([&] { return __atomic_load_n(&ext()->RemoveLockCount, __ATOMIC_SEQ_CST) == 0; },
                   "the power dispatch to release its hold");
}

TEST_F(WaitWakeCancelTest, RemovalDoesNotCancelARequestThatIsNotTheDriversOwn)
{
    TraceRecorder trace(sys());
    WaitWake passing;
    Issue(passing);
    stack().Unplug();
    WaitFinished(passing);
    EXPECT_EQ(passing.status, STATUS_CANCELLED);  // the bus gave it back when the device went
    EXPECT_TRUE(trace.Matching("Power.c:CancelWaitWake").empty());
}

// The owner may end its request only after the device is gone: the request
// must come back to it without the removed device's record being touched.
TEST_F(WaitWakeCancelTest, APassingRequestThatOutlivesTheRemovalComesBackWithoutTheDevice)
{
    WaitWake passing;
    Issue(passing);
    ASSERT_EQ(pnp().Disable(node()), STATUS_SUCCESS);
    EXPECT_TRUE(usb().WaitWakePending()) << "the driver cancelled a request it does not own";

    IoCancelIrp(passing.irp);
    WaitFinished(passing);
    EXPECT_EQ(passing.status, STATUS_CANCELLED);
    EXPECT_EQ(passing.completions, 1);
}

}  // namespace
}  // namespace tesmo::test
