// Work items: where and how their routines run, the device reference that
// keeps the device object alive meanwhile, workers enough that one blocked
// item never starves another, and the misuses the verifier catches.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <vector>

#include "SystemTest.h"
#include "TestDriver.h"
#include "emu/ObjectReferences.h"
#include "emu/WorkQueues.h"
#include "emu_ntddk.h"

namespace tesmo::test {
namespace {

constexpr ULONG kWorkItemTag = emu::TagFromText("IoWk");

// What a routine saw when it ran.
struct Sighting {
    std::string thread;
    KIRQL irql = 0xFF;
    int deviceReferences = -1;
    std::atomic<PDEVICE_OBJECT> device{nullptr};  // set last: the sighting is complete
};

// A routine that blocks until its gate is opened, so a test controls when it ends.
struct Gate {
    KEVENT open;
    std::atomic<bool> entered{false};
    std::atomic<bool> left{false};
    Gate() { KeInitializeEvent(&open, NotificationEvent, FALSE); }
    void Open() { KeSetEvent(&open, IO_NO_INCREMENT, FALSE); }
};

void NTAPI Record(PDEVICE_OBJECT device, PVOID context)
{
    auto* run = static_cast<Sighting*>(context);
    run->thread = emu::ThreadName();
    run->irql = KeGetCurrentIrql();
    run->deviceReferences = emu::DeviceReferenceCount(device);
    run->device = device;
}

void NTAPI WaitAtGate(PDEVICE_OBJECT, PVOID context)
{
    auto* gate = static_cast<Gate*>(context);
    gate->entered = true;
    emu::NotifyStateChanged();
    KeWaitForSingleObject(&gate->open, Executive, KernelMode, FALSE, nullptr);
    gate->left = true;
}

class WorkItemTest : public SystemTest {
protected:
    // Items still running belong to the device: they end before it goes.
    void TearDown() override { emu::DrainWorkQueues(); }
    // Occupies every worker the system may start with an item blocked at `gate`.
    std::vector<PIO_WORKITEM> OccupyEveryWorker(Gate& gate)
    {
        std::vector<PIO_WORKITEM> items;
        for (std::size_t i = 0; i < emu::kMaxWorkerThreads; ++i) {
            items.push_back(IoAllocateWorkItem(device_));
            IoQueueWorkItem(items.back(), WaitAtGate, DelayedWorkQueue, &gate);
        }
        emu::WaitUntil([] { return emu::InspectWorkQueues().running == emu::kMaxWorkerThreads; },
                       "every worker to be busy");
        return items;
    }

    std::optional<TestDriver> driver_{std::in_place, sys(), u"Owner"};
    PDEVICE_OBJECT device_ = driver_->CreateDevice();
};

TEST_F(WorkItemTest, RoutineRunsOnceOnAWorkerAtPassiveWithItsDeviceReferenced)
{
    int before = emu::DeviceReferenceCount(device_);
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    ASSERT_NE(item, nullptr);
    Sighting run;
    {
        emu::IrqlScope completionContext(DISPATCH_LEVEL);  // queued from a completion routine
        IoQueueWorkItem(item, Record, DelayedWorkQueue, &run);
    }
    emu::DrainWorkQueues();
    EXPECT_EQ(run.irql, PASSIVE_LEVEL);
    EXPECT_NE(run.thread, emu::ThreadName());
    EXPECT_EQ(run.device, device_);
    EXPECT_EQ(run.deviceReferences, before + 1);
    EXPECT_EQ(emu::DeviceReferenceCount(device_), before);
    IoFreeWorkItem(item);
}

// Race: the device object is deleted while its work item runs; the object must
// stay until the routine has returned.
TEST_F(WorkItemTest, DeviceDeletedWhileItsItemRunsOutlivesTheRoutine)
{
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_->object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    Gate gate;
    IoQueueWorkItem(item, WaitAtGate, DelayedWorkQueue, &gate);
    emu::WaitUntil([&] { return gate.entered.load(); }, "the routine to start");
    IoDeleteDevice(device);
    EXPECT_EQ(emu::DeviceReferenceCount(device), 1) << "the running item's reference keeps the object";
    IoFreeWorkItem(item);  // freed while it runs: released when the routine returns
    gate.Open();
    emu::DrainWorkQueues();
    EXPECT_TRUE(gate.left);
    EXPECT_TRUE(sys().pool().OutstandingWithTag(kWorkItemTag).empty());
}

TEST_F(WorkItemTest, BlockedItemDoesNotStarveAnother)
{
    PIO_WORKITEM blocked = IoAllocateWorkItem(device_);
    PIO_WORKITEM other = IoAllocateWorkItem(device_);
    Gate gate;
    IoQueueWorkItem(blocked, WaitAtGate, DelayedWorkQueue, &gate);
    emu::WaitUntil([&] { return gate.entered.load(); }, "the first item to block");
    Sighting run;
    IoQueueWorkItem(other, Record, DelayedWorkQueue, &run);
    emu::WaitUntil([&] { return run.device != nullptr; }, "the second item to run while the first is blocked");
    EXPECT_FALSE(gate.left);
    gate.Open();
    emu::DrainWorkQueues();
    IoFreeWorkItem(blocked);
    IoFreeWorkItem(other);
}

struct Requeue {
    PIO_WORKITEM item;
    int runs = 0;
};

void NTAPI CountAndRequeueOnce(PDEVICE_OBJECT, PVOID context)
{
    auto* state = static_cast<Requeue*>(context);
    if (++state->runs == 1) IoQueueWorkItem(state->item, CountAndRequeueOnce, DelayedWorkQueue, state);
}

TEST_F(WorkItemTest, ItemRequeuedByItsOwnRoutineRunsAgain)
{
    Requeue state{IoAllocateWorkItem(device_)};
    IoQueueWorkItem(state.item, CountAndRequeueOnce, DelayedWorkQueue, &state);
    emu::DrainWorkQueues();
    EXPECT_EQ(state.runs, 2);
    IoFreeWorkItem(state.item);
}

// Race: an item queued again while its routine still runs, whose second run
// ends first, and freed meanwhile; the block must outlast both runs.
TEST_F(WorkItemTest, ItemFreedWhileTwoRunsOverlapGoesWithTheLastRun)
{
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    Gate gate;
    IoQueueWorkItem(item, WaitAtGate, DelayedWorkQueue, &gate);
    emu::WaitUntil([&] { return gate.entered.load(); }, "the first run to block");
    Sighting second;
    IoQueueWorkItem(item, Record, DelayedWorkQueue, &second);
    emu::WaitUntil([&] { return second.device != nullptr; }, "the second run to end");
    IoFreeWorkItem(item);
    EXPECT_FALSE(sys().pool().OutstandingWithTag(kWorkItemTag).empty()) << "the first run still needs the item";
    gate.Open();
    emu::DrainWorkQueues();
    EXPECT_TRUE(sys().pool().OutstandingWithTag(kWorkItemTag).empty());
}

TEST_F(WorkItemTest, ItemQueuedAgainBeforeItStartedIsCaught)
{
    Gate gate;
    auto blockers = OccupyEveryWorker(gate);
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    Sighting run;
    IoQueueWorkItem(item, Record, DelayedWorkQueue, &run);
    EXPECT_EQ(emu::InspectWorkQueues().queued, 1u) << "no worker left: the item waits";
    IoQueueWorkItem(item, Record, DelayedWorkQueue, &run);
    EXPECT_EQ(TakeViolations(emu::Rule::WorkItemQueuedTwice).size(), 1u);
    EXPECT_EQ(emu::InspectWorkQueues().queued, 1u);
    gate.Open();
    emu::DrainWorkQueues();
    EXPECT_EQ(run.device, device_) << "the waiting item runs once a worker is free";
    IoFreeWorkItem(item);
    for (PIO_WORKITEM blocker : blockers) IoFreeWorkItem(blocker);
}

TEST_F(WorkItemTest, ItemFreedWhileStillQueuedIsCaughtAndDoesNotRun)
{
    Gate gate;
    auto blockers = OccupyEveryWorker(gate);
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    Sighting run;
    IoQueueWorkItem(item, Record, DelayedWorkQueue, &run);
    IoFreeWorkItem(item);
    EXPECT_EQ(TakeViolations(emu::Rule::WorkItemQueuedTwice).size(), 1u);
    gate.Open();
    emu::DrainWorkQueues();
    EXPECT_EQ(run.device, nullptr);
    for (PIO_WORKITEM blocker : blockers) IoFreeWorkItem(blocker);
    EXPECT_TRUE(sys().pool().OutstandingWithTag(kWorkItemTag).empty());
}

TEST_F(WorkItemTest, InjectedAllocationFailureReturnsNullAndHoldsNoPool)
{
    sys().faults().FailNth(emu::FaultSite::WorkItem, 2);
    PIO_WORKITEM first = IoAllocateWorkItem(device_);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(IoAllocateWorkItem(device_), nullptr);
    EXPECT_TRUE(sys().faults().Hit(emu::FaultSite::WorkItem));
    EXPECT_EQ(sys().pool().OutstandingWithTag(kWorkItemTag).size(), 1u);
    IoFreeWorkItem(first);
}

TEST_F(WorkItemTest, ItemNeverFreedIsAPoolLeakWithTheSystemTag)
{
    IoAllocateWorkItem(device_);
    driver_.reset();
    ShutDown();
    auto leaks = TakeViolations(emu::Rule::PoolLeak);
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].message.find("'IoWk'"), std::string::npos) << leaks[0].message;
}

}  // namespace
}  // namespace tesmo::test
