// The cancel-safe queue library against a small queue written here: the order
// in which it calls the six callbacks, which of them run under the queue's
// lock, and cancellation before, during and after queueing.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>

#include "SystemTest.h"
#include "TestDriver.h"
#include "emu_ntddk.h"

namespace tesmo::test {
namespace {

// A queue as a driver builds one: a list linked through the IRPs, a spin lock,
// and callbacks that record each call as "<callback> <IRP name>", with " !" when
// the lock is not held as the library must hold it.
struct RecordingQueue {
    struct Anchor {
        IO_CSQ csq;  // first: a callback's queue object is the anchor's address
        RecordingQueue* queue;
    } anchor{{}, this};
    IO_CSQ& csq = anchor.csq;
    KSPIN_LOCK lock = 0;
    LIST_ENTRY list;
    std::mutex callsMutex;
    std::vector<std::string> calls;
    std::map<PIRP, std::string> names;
    std::function<void(PIRP)> onPeek;  // called inside the peek callback, lock held

    static RecordingQueue& Of(PIO_CSQ csq) { return *reinterpret_cast<Anchor*>(csq)->queue; }
    bool LockHeld() const
    {
        return __atomic_load_n(&lock, __ATOMIC_SEQ_CST) != 0 && KeGetCurrentIrql() == DISPATCH_LEVEL;
    }
    std::string Name(PIRP irp) { return irp ? names[irp] : "-"; }
    void Note(std::string call, bool lockExpected)
    {
        if (LockHeld() != lockExpected) call += " !";
        std::lock_guard guard(callsMutex);
        calls.push_back(std::move(call));
    }
    std::size_t CallCount()
    {
        std::lock_guard guard(callsMutex);
        return calls.size();
    }
    std::vector<std::string> TakeCalls()
    {
        std::lock_guard guard(callsMutex);
        return std::exchange(calls, {});
    }

    static VOID NTAPI Insert(PIO_CSQ csq, PIRP irp)
    {
        auto& q = Of(csq);
        q.Note("insert " + q.Name(irp), true);
        InsertTailList(&q.list, &irp->Tail.Overlay.ListEntry);
    }
    static VOID NTAPI Remove(PIO_CSQ csq, PIRP irp)
    {
        auto& q = Of(csq);
        q.Note("remove " + q.Name(irp), true);
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    }
    static PIRP NTAPI Peek(PIO_CSQ csq, PIRP irp, PVOID peekContext)
    {
        auto& q = Of(csq);
        q.Note("peek " + q.Name(irp), true);
        if (q.onPeek) std::exchange(q.onPeek, nullptr)(irp);
        PLIST_ENTRY entry = irp ? irp->Tail.Overlay.ListEntry.Flink : q.list.Flink;
        for (; entry != &q.list; entry = entry->Flink) {
            PIRP candidate = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            if (!peekContext || IoGetCurrentIrpStackLocation(candidate)->FileObject == peekContext) return candidate;
        }
        return nullptr;
    }
    static VOID NTAPI Acquire(PIO_CSQ csq, PKIRQL irql)
    {
        auto& q = Of(csq);
        q.Note("acquire", false);
        *irql = KeAcquireSpinLockRaiseToDpc(&q.lock);
    }
    static VOID NTAPI Release(PIO_CSQ csq, KIRQL irql)
    {
        auto& q = Of(csq);
        q.Note("release", true);
        KeReleaseSpinLock(&q.lock, irql);
    }
    static VOID NTAPI CompleteCanceled(PIO_CSQ csq, PIRP irp)
    {
        auto& q = Of(csq);
        q.Note("complete " + q.Name(irp), false);
        CompleteIrp(irp, STATUS_CANCELLED);
    }
};

class CancelSafeQueueTest : public SystemTest {
protected:
    void SetUp() override
    {
        InitializeListHead(&queue_.list);
        ASSERT_EQ(IoCsqInitialize(&queue_.csq, RecordingQueue::Insert, RecordingQueue::Remove, RecordingQueue::Peek,
                                  RecordingQueue::Acquire, RecordingQueue::Release, RecordingQueue::CompleteCanceled),
                  STATUS_SUCCESS);
        // The driver's dispatch routine holds every request in the queue.
        driver_.OnAny([this](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoCsqInsertIrp(&queue_.csq, irp, contextFor_);
            return STATUS_PENDING;
        });
    }
    // Sends a request named `name` that the driver queues.
    TopLevelIrp& Send(const std::string& name, bool cancelFirst = false)
    {
        auto& request = *requests_.emplace_back(std::make_unique<TopLevelIrp>(device_, IRP_MJ_DEVICE_CONTROL));
        queue_.names[request.irp()] = name;
        if (cancelFirst) {
            EXPECT_FALSE(IoCancelIrp(request.irp())) << "nothing to call yet";
        }
        EXPECT_EQ(request.Send(), STATUS_PENDING);
        return request;
    }
    std::string RemoveNext(PVOID peekContext = nullptr)
    {
        PIRP irp = IoCsqRemoveNextIrp(&queue_.csq, peekContext);
        if (irp) CompleteIrp(irp, STATUS_SUCCESS);
        return queue_.Name(irp);
    }

    RecordingQueue queue_;
    PIO_CSQ_IRP_CONTEXT contextFor_ = nullptr;
    TestDriver driver_{sys(), u"Queueing"};
    PDEVICE_OBJECT device_ = driver_.CreateDevice();
    std::vector<std::unique_ptr<TopLevelIrp>> requests_;
};

using Calls = std::vector<std::string>;

TEST_F(CancelSafeQueueTest, InitializeStoresTheCallbacks)
{
    EXPECT_EQ(queue_.csq.Type, static_cast<ULONG>(IO_TYPE_CSQ));
    EXPECT_EQ(queue_.csq.CsqPeekNextIrp, RecordingQueue::Peek);
    EXPECT_EQ(queue_.csq.ReservePointer, nullptr);
}

TEST_F(CancelSafeQueueTest, RequestsLeaveInArrivalOrderThroughTheCallbacksUnderTheLock)
{
    auto& a = Send("A");
    EXPECT_EQ(queue_.TakeCalls(), (Calls{"acquire", "insert A", "release"}));
    EXPECT_TRUE(IoGetCurrentIrpStackLocation(a.irp())->Control & SL_PENDING_RETURNED);
    EXPECT_NE(a.irp()->CancelRoutine, nullptr) << "a queued request is cancellable";
    EXPECT_EQ(a.irp()->Tail.Overlay.DriverContext[3], &queue_.csq);
    Send("B");
    Send("C");
    queue_.TakeCalls();

    EXPECT_EQ(RemoveNext(), "A");
    EXPECT_EQ(queue_.TakeCalls(), (Calls{"acquire", "peek -", "remove A", "release"}));
    EXPECT_EQ(RemoveNext(), "B");
    EXPECT_EQ(RemoveNext(), "C");
    EXPECT_EQ(RemoveNext(), "-");
    EXPECT_EQ(queue_.TakeCalls().back(), "release");
    for (auto& request : requests_) EXPECT_EQ(request->finalStatus(), STATUS_SUCCESS);
}

TEST_F(CancelSafeQueueTest, RemovedRequestIsNoLongerCancellableThroughTheQueue)
{
    auto& a = Send("A");
    PIRP irp = IoCsqRemoveNextIrp(&queue_.csq, nullptr);
    ASSERT_EQ(irp, a.irp());
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    EXPECT_EQ(irp->Tail.Overlay.DriverContext[3], nullptr);
    queue_.TakeCalls();
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(queue_.TakeCalls().empty());
    CompleteIrp(irp, STATUS_SUCCESS);
}

TEST_F(CancelSafeQueueTest, CancellingTheMiddleRequestLeavesTheOthersInOrder)
{
    Send("A");
    auto& b = Send("B");
    Send("C");
    queue_.TakeCalls();
    EXPECT_TRUE(IoCancelIrp(b.irp()));
    EXPECT_EQ(queue_.TakeCalls(), (Calls{"acquire", "remove B", "release", "complete B"}));
    ASSERT_TRUE(b.completed());
    EXPECT_EQ(b.finalStatus(), STATUS_CANCELLED);
    EXPECT_EQ(b.irp()->IoStatus.Information, 0u);
    EXPECT_EQ(RemoveNext(), "A");
    EXPECT_EQ(RemoveNext(), "C");
    EXPECT_EQ(RemoveNext(), "-");
}

TEST_F(CancelSafeQueueTest, RequestCancelledBeforeItIsQueuedIsCompletedByTheInsert)
{
    auto& a = Send("A", /*cancelFirst=*/true);
    EXPECT_EQ(queue_.TakeCalls(), (Calls{"acquire", "insert A", "remove A", "release", "complete A"}));
    ASSERT_TRUE(a.completed());
    EXPECT_EQ(a.finalStatus(), STATUS_CANCELLED);
    EXPECT_TRUE(a.pendingReturned());
    EXPECT_TRUE(IsListEmpty(&queue_.list));
}

// Race: a cancel arrives while IoCsqRemoveNextIrp holds the queue's lock and
// has just peeked the request; the library must pass over it, and the cancel
// finishes it once the lock is free.
TEST_F(CancelSafeQueueTest, CancelDuringRemoveNextPassesOverTheCancelledRequest)
{
    auto& a = Send("A");
    Send("B");
    queue_.TakeCalls();
    std::thread canceller;
    queue_.onPeek = [&](PIRP) {
        canceller = std::thread([&] { IoCancelIrp(a.irp()); });
        // The canceller took A's cancel routine and now waits for the queue lock.
        emu::WaitUntil([&] { return queue_.CallCount() == 3; }, "the canceller to wait for the queue lock");
        EXPECT_EQ(a.irp()->CancelRoutine, nullptr);
    };
    EXPECT_EQ(RemoveNext(), "B");
    canceller.join();
    EXPECT_EQ(queue_.TakeCalls(), (Calls{"acquire", "peek -", "acquire", "peek A", "remove B", "release", "remove A",
                                         "release", "complete A"}));
    EXPECT_EQ(a.finalStatus(), STATUS_CANCELLED);
    EXPECT_EQ(RemoveNext(), "-");
}

TEST_F(CancelSafeQueueTest, PeekContextReachesThePeekCallback)
{
    FILE_OBJECT mine{};
    Send("A");
    auto& b = Send("B");
    IoGetCurrentIrpStackLocation(b.irp())->FileObject = &mine;
    EXPECT_EQ(RemoveNext(&mine), "B");
    EXPECT_EQ(RemoveNext(&mine), "-");
    EXPECT_EQ(RemoveNext(), "A");
}

TEST_F(CancelSafeQueueTest, RequestWithAContextIsRemovedByItsContextOnce)
{
    IO_CSQ_IRP_CONTEXT context{};
    contextFor_ = &context;
    auto& a = Send("A");
    EXPECT_EQ(context.Type, static_cast<ULONG>(IO_TYPE_CSQ_IRP_CONTEXT));
    EXPECT_EQ(context.Irp, a.irp());
    EXPECT_EQ(context.Csq, &queue_.csq);
    EXPECT_EQ(a.irp()->Tail.Overlay.DriverContext[3], &context);
    queue_.TakeCalls();
    EXPECT_EQ(IoCsqRemoveIrp(&queue_.csq, &context), a.irp());
    EXPECT_EQ(queue_.TakeCalls(), (Calls{"acquire", "remove A", "release"}));
    EXPECT_EQ(context.Irp, nullptr);
    EXPECT_EQ(IoCsqRemoveIrp(&queue_.csq, &context), nullptr);
    CompleteIrp(a.irp(), STATUS_SUCCESS);
}

TEST_F(CancelSafeQueueTest, CancelledRequestBreaksItsContext)
{
    IO_CSQ_IRP_CONTEXT context{};
    contextFor_ = &context;
    auto& a = Send("A");
    EXPECT_TRUE(IoCancelIrp(a.irp()));
    EXPECT_EQ(context.Irp, nullptr);
    EXPECT_EQ(IoCsqRemoveIrp(&queue_.csq, &context), nullptr);
    EXPECT_EQ(a.finalStatus(), STATUS_CANCELLED);
}

}  // namespace
}  // namespace tesmo::test
