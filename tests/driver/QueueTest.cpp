// The request queue: device-control requests held while a stop is being
// negotiated leave in arrival order when the queue opens, may be cancelled
// by their issuer, and are failed when it cannot open; a request on its way
// into the queue while the queue changes state is still taken out again.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "Queue.h"
#include "SerialPortTest.h"
#include "TraceParking.h"
#include "TraceRecorder.h"
#include "emu/RemoveLocks.h"
#include "emu/Threads.h"

namespace tesmo::test {
namespace {

const Bytes kLoadTimeBaudRate = BytesOf(ULONG{0x00020000});

class QueueTest : public SerialPortTest {
protected:
    void SetUp() override
    {
        SerialPortTest::SetUp();
        ASSERT_EQ(HoldQueue(), STATUS_SUCCESS);
    }
    std::unique_ptr<PortRequest> BaudRate()
    {
        return PortRequest::Control(fdo(), IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(ULONG));
    }
    // A request sent now, which the queue holds.
    PortRequest& Held()
    {
        PortRequest& request = *held_.emplace_back(BaudRate());
        EXPECT_EQ(request.Send(), STATUS_PENDING);
        return request;
    }
    std::vector<PIRP> HeldInOrder()
    {
        std::vector<PIRP> held;
        PLIST_ENTRY head = &ext()->PendingIrpList;
        for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) {
            held.push_back(CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry));
        }
        return held;
    }
    void ExpectCompletedWith(NTSTATUS status)
    {
        for (auto& request : held_) {
            ASSERT_TRUE(request->completed());
            EXPECT_EQ(request->status(), status);
            if (NT_SUCCESS(status)) {
                EXPECT_EQ(request->Output(sizeof(ULONG)), kLoadTimeBaudRate);
            } else {
                EXPECT_EQ(request->information(), 0u);
            }
        }
    }
    // Rescues a request the queue kept, so that a failing test still ends.
    void Drain(PortRequest& request)
    {
        if (!request.completed()) DRIVER_SYMBOL(driver(), ProcessQueuedIrps)(ext());
        request.WaitCompleted();
    }

    std::vector<std::unique_ptr<PortRequest>> held_;
};

TEST_F(QueueTest, HeldRequestsLeaveInArrivalOrderWhenTheQueueOpens)
{
    TraceRecorder trace(sys());
    PortRequest &a = Held(), &b = Held(), &c = Held();
    EXPECT_EQ(HeldInOrder(), (std::vector<PIRP>{a.irp(), b.irp(), c.irp()}));
    EXPECT_EQ(ext()->QueuedIrpCount, 3);

    ASSERT_EQ(ReleaseQueue(), STATUS_SUCCESS);
    ExpectCompletedWith(STATUS_SUCCESS);
    std::vector<std::string> totals;
    for (auto& line : trace.Matching("Total queued")) totals.push_back(line.text.substr(line.text.find("Total")));
    EXPECT_EQ(totals, (std::vector<std::string>{"Total queued = 1\n", "Total queued = 2\n", "Total queued = 3\n",
                                                "Total queued = 2\n", "Total queued = 1\n", "Total queued = 0\n"}));
    EXPECT_EQ(trace.Matching("Ioctl.c: Queueing IRP").size(), 3u);
}

TEST_F(QueueTest, CancellingAMiddleRequestLeavesTheOthersInOrder)
{
    PortRequest &a = Held(), &b = Held(), &c = Held();
    TraceRecorder trace(sys());
    EXPECT_TRUE(IoCancelIrp(b.irp()));
    ASSERT_TRUE(b.completed());
    EXPECT_EQ(b.status(), STATUS_CANCELLED);
    EXPECT_EQ(b.information(), 0u);
    EXPECT_EQ(HeldInOrder(), (std::vector<PIRP>{a.irp(), c.irp()}));
    EXPECT_EQ(trace.Matching("Total queued = 2").size(), 1u);
    ReleaseQueue();
    EXPECT_TRUE(a.completed() && c.completed());
}

// ---- a queue that does not open again fails what it holds ----

TEST_F(QueueTest, ASurpriseRemovalCancelsTheHeldRequests)
{
    Held();
    Held();
    stack().Unplug();
    ExpectCompletedWith(STATUS_CANCELLED);
}

// The race: the queue is held again (a query for D3) after the cancelled
// stop opened it and before its drain looked at the state.
TEST_F(QueueTest, ADrainThatFindsTheQueueHeldAgainCancelsTheHeldRequests)
{
    Held();
    Held();
    TraceParking parking(sys(), "Queue.c: Process Queued Irps");
    std::thread opening([&] { ReleaseQueue(); });
    parking.WaitParked();
    EXPECT_EQ(RequestPower(IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_PENDING);
    parking.Release();
    opening.join();
    ExpectCompletedWith(STATUS_CANCELLED);
}

TEST_F(QueueTest, ARequestArrivingAfterASurpriseRemovalFailsAtOnceWithDeletePending)
{
    UnplugHeldOpen();
    EXPECT_EQ(BaudRate()->Send(), STATUS_DELETE_PENDING);
    EXPECT_TRUE(HeldInOrder().empty());
}

TEST_F(QueueTest, DrainingAnEmptyQueueOnlyAnnouncesItself)
{
    TraceRecorder trace(sys());
    DRIVER_SYMBOL(driver(), ProcessQueuedIrps)(ext());
    EXPECT_EQ(trace.Texts(), std::vector<std::string>{"Queue.c: Process Queued Irps\n"});
}

TEST_F(QueueTest, PeekWithAFileObjectSkipsOtherFilesRequests)
{
    FILE_OBJECT mine{}, theirs{};
    PortRequest &a = Held(), &b = Held();
    // The peek context compares the file object of each request.
    IoGetCurrentIrpStackLocation(a.irp())->FileObject = &theirs;
    IoGetCurrentIrpStackLocation(b.irp())->FileObject = &mine;
    auto peek = DRIVER_SYMBOL(driver(), KavrelPeekNextIrp);
    PIO_CSQ csq = &ext()->CancelSafeQueue;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext()->QueueLock);
    EXPECT_EQ(peek(csq, nullptr, &mine), b.irp());
    EXPECT_EQ(peek(csq, nullptr, nullptr), a.irp());
    EXPECT_EQ(peek(csq, b.irp(), nullptr), nullptr);
    KeReleaseSpinLock(&ext()->QueueLock, irql);
    IoGetCurrentIrpStackLocation(a.irp())->FileObject = nullptr;
    IoGetCurrentIrpStackLocation(b.irp())->FileObject = nullptr;
    ReleaseQueue();
}

// ---- a request on its way into the queue as the queue changes state ----

// The race: the queue opens and is drained while a request is on its way into it.
TEST_F(QueueTest, ARequestQueuedAsTheQueueOpensIsServed)
{
    auto request = BaudRate();
    {
        TraceParking parking(sys(), "Ioctl.c: Queueing IRP");
        request->Start();
        parking.WaitParked();
        ASSERT_EQ(ReleaseQueue(), STATUS_SUCCESS);
    }
    emu::WaitUntil([&] { return request->dispatched(); }, "the dispatch routine to return");
    EXPECT_TRUE(request->completed()) << "left behind in the queue after its drain";
    Drain(*request);
    EXPECT_EQ(request->status(), STATUS_SUCCESS);
    EXPECT_EQ(request->Output(sizeof(ULONG)), kLoadTimeBaudRate);
}

// The race: requests from several threads enter the held queue at once; its
// lock alone keeps the list whole, and the drain then serves every one.
TEST_F(QueueTest, RequestsHeldAtOnceFromSeveralThreadsAreAllServed)
{
    for (int i = 0; i < 4; ++i) held_.push_back(BaudRate());
    for (auto& request : held_) request->Start();
    emu::WaitUntil([&] { return std::ranges::all_of(held_, [](auto& r) { return r->dispatched(); }); },
                   "every request to be held");
    ASSERT_EQ(ReleaseQueue(), STATUS_SUCCESS);
    for (auto& request : held_) request->WaitCompleted();
    ExpectCompletedWith(STATUS_SUCCESS);
}

// A rebalance: the request held at the query-stop waits through the stop and
// is served by the start that reopens the queue, not by a later resume.
TEST_F(QueueTest, ARequestHeldAcrossAStopIsServedByTheRestart)
{
    PortRequest& request = Held();
    ASSERT_EQ(pnp().Send(node(), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(request.completed());
    ASSERT_EQ(pnp().Send(node(), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(request.completed()) << "still held after the restart";
    Drain(request);
    ExpectCompletedWith(STATUS_SUCCESS);
}

// The race: the port is removed while a request is on its way into the held
// queue; the removal's own drain has run by the time it arrives.
TEST_F(QueueTest, ARequestQueuedAsThePortIsRemovedIsFailed)
{
    PDEVICE_EXTENSION extension = ext();
    auto request = BaudRate();
    std::thread removal;
    {
        TraceParking parking(sys(), "Ioctl.c: Queueing IRP");
        request->Start();
        parking.WaitParked();
        removal = std::thread([&] {
            emu::SetThreadName("removal");
            pnp().Disable(node());
        });
        // The request's dispatch keeps the device object and its record.
        emu::WaitUntil([&] { return emu::InspectRemoveLock(&extension->RequestLock).waiters == 1; },
                       "the removal to wait for the request's dispatch");
    }
    removal.join();
    EXPECT_TRUE(request->completed()) << "left behind in the queue of a removed device";
    request->WaitCompleted();
    EXPECT_EQ(request->status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(request->information(), 0u);
}

}  // namespace
}  // namespace tesmo::test
