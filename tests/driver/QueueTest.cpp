// The request queue: device-control requests held while the queue is held,
// leaving in arrival order, cancellable by their issuer, and failed or served
// when the queue state changes.
#include <gtest/gtest.h>

#include <algorithm>

#include "DriverStackTest.h"
#include "Queue.h"
#include "SystemTest.h"
#include "TestDriver.h"
#include "TraceRecorder.h"
#include "instrument/CommandInstrument.h"

namespace tesmo::test {
namespace {

class QueueTest : public AddedDeviceTest {
protected:
    void SetUp() override
    {
        AddedDeviceTest::SetUp();
        process_ = DRIVER_SYMBOL(stack_->driver(), ProcessQueuedIrps);
    }
    void TearDown() override
    {
        requests_.clear();
        AddedDeviceTest::TearDown();
    }

    // A GET_BAUD_RATE request sent to the port; while the queue is held it stays pending.
    TopLevelIrp& SendControl()
    {
        auto request = std::make_unique<TopLevelIrp>(stack_->fdo(), IRP_MJ_DEVICE_CONTROL);
        request->stack()->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_GET_BAUD_RATE;
        request->stack()->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
        request->irp()->AssociatedIrp.SystemBuffer = &baud_[requests_.size()];
        request->irp()->Flags |= IRP_BUFFERED_IO;
        EXPECT_EQ(request->Send(), STATUS_PENDING);
        requests_.push_back(std::move(request));
        return *requests_.back();
    }
    std::vector<PIRP> HeldInOrder()
    {
        std::vector<PIRP> held;
        PLIST_ENTRY head = &stack_->extension()->PendingIrpList;
        for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) {
            held.push_back(CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry));
        }
        return held;
    }

    decltype(&ProcessQueuedIrps) process_ = nullptr;
    std::vector<std::unique_ptr<TopLevelIrp>> requests_;
    ULONG baud_[8] = {};
};

TEST_F(QueueTest, HeldRequestsLeaveInArrivalOrderWhenTheQueueOpens)
{
    TraceRecorder trace(sys());
    TopLevelIrp& a = SendControl();
    TopLevelIrp& b = SendControl();
    TopLevelIrp& c = SendControl();
    EXPECT_EQ(HeldInOrder(), (std::vector<PIRP>{a.irp(), b.irp(), c.irp()}));
    EXPECT_EQ(stack_->extension()->QueuedIrpCount, 3);

    stack_->extension()->QueueState = AllowRequests;
    process_(stack_->extension());
    for (TopLevelIrp* r : {&a, &b, &c}) {
        ASSERT_TRUE(r->completed());
        EXPECT_EQ(r->finalStatus(), STATUS_SUCCESS);
    }
    EXPECT_EQ(baud_[0], 0x00020000u);
    auto totals = trace.Matching("Total queued");
    std::vector<std::string> texts;
    for (auto& line : totals) texts.push_back(line.text.substr(line.text.find("Total")));
    EXPECT_EQ(texts, (std::vector<std::string>{"Total queued = 1\n", "Total queued = 2\n", "Total queued = 3\n",
                                                "Total queued = 2\n", "Total queued = 1\n", "Total queued = 0\n"}));
    // Each held request was seen twice by the dispatch routine.
    EXPECT_EQ(trace.Matching("Ioctl.c: Queueing IRP").size(), 3u);
}

TEST_F(QueueTest, CancellingAMiddleRequestLeavesTheOthersInOrder)
{
    TopLevelIrp& a = SendControl();
    TopLevelIrp& b = SendControl();
    TopLevelIrp& c = SendControl();
    TraceRecorder trace(sys());
    EXPECT_TRUE(IoCancelIrp(b.irp()));
    ASSERT_TRUE(b.completed());
    EXPECT_EQ(b.finalStatus(), STATUS_CANCELLED);
    EXPECT_EQ(b.irp()->IoStatus.Information, 0u);
    EXPECT_EQ(HeldInOrder(), (std::vector<PIRP>{a.irp(), c.irp()}));
    EXPECT_EQ(trace.Matching("Total queued = 2").size(), 1u);
    stack_->extension()->QueueState = AllowRequests;
    process_(stack_->extension());
    EXPECT_TRUE(a.completed() && c.completed());
}

struct FailCase {
    const char* label;
    ULONG queueState;
    ULONG pnpState;
    NTSTATUS expected;
};
void PrintTo(const FailCase& c, std::ostream* out) { *out << c.label; }

class QueueFailing : public QueueTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(QueueFailing, HeldRequestsAreFailedWithTheStatusOfTheState)
{
    TopLevelIrp& a = SendControl();
    TopLevelIrp& b = SendControl();
    stack_->extension()->QueueState = GetParam().queueState;
    ULONG pnpState = stack_->extension()->PnpState;
    stack_->extension()->PnpState = GetParam().pnpState;
    process_(stack_->extension());
    stack_->extension()->PnpState = pnpState;
    for (TopLevelIrp* r : {&a, &b}) {
        ASSERT_TRUE(r->completed());
        EXPECT_EQ(r->finalStatus(), GetParam().expected);
        EXPECT_EQ(r->irp()->IoStatus.Information, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(States, QueueFailing,
                         ::testing::Values(FailCase{"surprise_removed", FailRequests, SurpriseRemoved, STATUS_CANCELLED},
                                           FailCase{"removed", FailRequests, Removed, STATUS_DELETE_PENDING},
                                           FailCase{"held_again", HoldRequests, Working, STATUS_CANCELLED}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(QueueTest, ArrivingInFailRequestsCompletesAtOnceWithDeletePending)
{
    stack_->extension()->QueueState = FailRequests;
    TopLevelIrp request(stack_->fdo(), IRP_MJ_DEVICE_CONTROL);
    request.stack()->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_GET_BAUD_RATE;
    EXPECT_EQ(request.Send(), STATUS_DELETE_PENDING);
    EXPECT_TRUE(HeldInOrder().empty());
    stack_->extension()->QueueState = HoldRequests;
}

TEST_F(QueueTest, DrainingAnEmptyQueueOnlyAnnouncesItself)
{
    TraceRecorder trace(sys());
    process_(stack_->extension());
    EXPECT_EQ(trace.Texts(), std::vector<std::string>{"Queue.c: Process Queued Irps\n"});
}

TEST_F(QueueTest, PeekWithAFileObjectSkipsOtherFilesRequests)
{
    FILE_OBJECT mine{}, theirs{};
    TopLevelIrp& a = SendControl();
    TopLevelIrp& b = SendControl();
    // The peek context compares the file object of each request.
    IoGetCurrentIrpStackLocation(a.irp())->FileObject = &theirs;
    IoGetCurrentIrpStackLocation(b.irp())->FileObject = &mine;
    auto peek = DRIVER_SYMBOL(stack_->driver(), KavrelPeekNextIrp);
    PIO_CSQ csq = &stack_->extension()->CancelSafeQueue;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&stack_->extension()->QueueLock);
    EXPECT_EQ(peek(csq, nullptr, &mine), b.irp());
    EXPECT_EQ(peek(csq, nullptr, nullptr), a.irp());
    EXPECT_EQ(peek(csq, b.irp(), nullptr), nullptr);
    KeReleaseSpinLock(&stack_->extension()->QueueLock, irql);
    IoGetCurrentIrpStackLocation(a.irp())->FileObject = nullptr;
    IoGetCurrentIrpStackLocation(b.irp())->FileObject = nullptr;
    stack_->extension()->QueueState = AllowRequests;
    process_(stack_->extension());
}

}  // namespace
}  // namespace tesmo::test
