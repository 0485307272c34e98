// A device-control request on its way into the held queue while the queue
// changes state: once it is in the queue, someone must take it out again,
// whether the queue opened (a cancelled stop, a restart) or began to fail in
// the meantime.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "Queue.h"
#include "SerialPortTest.h"
#include "TraceParking.h"
#include "emu/RemoveLocks.h"
#include "emu/Threads.h"

namespace tesmo::test {
namespace {

class HeldRequestRaceTest : public SerialPortTest {
protected:
    void SetUp() override
    {
        SerialPortTest::SetUp();
        // A stop being negotiated holds device-control requests.
        ASSERT_EQ(port().pnp().Send(port().node(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
        request_ = PortRequest::Control(fdo(), IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(ULONG));
    }
    void TearDown() override
    {
        request_.reset();
        SerialPortTest::TearDown();
    }

    std::unique_ptr<PortRequest> request_;
};

// The race: the queue opens and is drained while a request is on its way into it.
TEST_F(HeldRequestRaceTest, ARequestQueuedAsTheQueueOpensIsServed)
{
    {
        TraceParking parking(sys(), "Ioctl.c: Queueing IRP");
        request_->Start();
        parking.WaitParked();
        ASSERT_EQ(port().pnp().Send(port().node(), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    }
    emu::WaitUntil([&] { return request_->dispatched(); }, "the dispatch routine to return");
    EXPECT_TRUE(request_->completed()) << "left behind in the queue after its drain";
    if (!request_->completed()) DRIVER_SYMBOL(port().driver(), ProcessQueuedIrps)(ext());
    request_->WaitCompleted();
    EXPECT_EQ(request_->status(), STATUS_SUCCESS);
    EXPECT_EQ(request_->Output(sizeof(ULONG)), BytesOf(ULONG{0x00020000}));
}

// The race: requests from several threads enter the held queue at once; its
// lock alone keeps the list whole, and the drain then serves every one.
TEST_F(HeldRequestRaceTest, RequestsHeldAtOnceFromSeveralThreadsAreAllServed)
{
    std::vector<std::unique_ptr<PortRequest>> requests;
    for (int i = 0; i < 4; ++i) {
        requests.push_back(PortRequest::Control(fdo(), IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(ULONG)));
    }
    for (auto& request : requests) request->Start();
    emu::WaitUntil([&] { return std::ranges::all_of(requests, [](auto& r) { return r->dispatched(); }); },
                   "every request to be held");
    ASSERT_EQ(port().pnp().Send(port().node(), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    for (auto& request : requests) {
        request->WaitCompleted();
        EXPECT_EQ(request->status(), STATUS_SUCCESS);
    }
}

// A rebalance: the request held at the query-stop waits through the stop and
// is served by the start that reopens the queue, not by a later resume.
TEST_F(HeldRequestRaceTest, ARequestHeldAcrossAStopIsServedByTheRestart)
{
    ASSERT_EQ(request_->Send(), STATUS_PENDING);
    ASSERT_EQ(port().pnp().Send(port().node(), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(request_->completed());
    ASSERT_EQ(port().pnp().Send(port().node(), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(request_->completed()) << "still held after the restart";
    if (!request_->completed()) DRIVER_SYMBOL(port().driver(), ProcessQueuedIrps)(ext());
    request_->WaitCompleted();
    EXPECT_EQ(request_->status(), STATUS_SUCCESS);
    EXPECT_EQ(request_->Output(sizeof(ULONG)), BytesOf(ULONG{0x00020000}));
}

// The race: the port is removed while a request is on its way into the held queue.
TEST_F(HeldRequestRaceTest, ARequestQueuedAsThePortIsRemovedIsFailed)
{
    PDEVICE_EXTENSION extension = ext();
    std::thread removal;
    {
        TraceParking parking(sys(), "Ioctl.c: Queueing IRP");
        request_->Start();
        parking.WaitParked();
        removal = std::thread([&] {
            emu::SetThreadName("removal");
            port().pnp().Disable(port().node());
        });
        // The request's dispatch keeps the device object and its record.
        emu::WaitUntil([&] { return emu::InspectRemoveLock(&extension->RequestLock).waiters == 1; },
                       "the removal to wait for the request's dispatch");
    }
    removal.join();
    EXPECT_TRUE(request_->completed()) << "left behind in the queue of a removed device";
    request_->WaitCompleted();
    EXPECT_EQ(request_->status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(request_->information(), 0u);
}

}  // namespace
}  // namespace tesmo::test
