// Events, waits and emulated time: what a driver may rely on from
// KeWaitForSingleObject and the events it waits on, including each kind of
// timeout on both sides of its boundary.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "SystemTest.h"
#include "emu/SpinLocks.h"
#include "emu/Threads.h"
#include "emu_ntddk.h"

namespace tesmo::test {
namespace {

class DispatcherTest : public SystemTest {
protected:
    void SetUp() override
    {
        KeInitializeEvent(&notification_, NotificationEvent, FALSE);
        KeInitializeEvent(&synchronization_, SynchronizationEvent, FALSE);
    }

    // Starts a thread that waits on `event` with `timeout` (or none) and
    // records the result; waits until it is actually blocked.
    std::thread StartWaiter(KEVENT* event, std::optional<LONGLONG> timeout, std::atomic<NTSTATUS>& result)
    {
        result = STATUS_PENDING;
        std::size_t timedBefore = sys().clock().TimedWaiters();
        std::thread waiter([=, &result] {
            LARGE_INTEGER value{};
            if (timeout) value.QuadPart = *timeout;
            result = KeWaitForSingleObject(event, Executive, KernelMode, FALSE, timeout ? &value : nullptr);
        });
        if (timeout) {
            emu::WaitUntil([&] { return sys().clock().TimedWaiters() > timedBefore; }, "the waiter to block");
        }
        return waiter;
    }

    KEVENT notification_;
    KEVENT synchronization_;
};

TEST_F(DispatcherTest, NotificationEventReleasesEveryWaiterAndStaysSignalled)
{
    std::atomic<NTSTATUS> first, second;
    auto a = StartWaiter(&notification_, -10 * emu::kSecond, first);
    auto b = StartWaiter(&notification_, -10 * emu::kSecond, second);
    EXPECT_EQ(KeSetEvent(&notification_, IO_NO_INCREMENT, FALSE), 0);
    a.join();
    b.join();
    EXPECT_EQ(first, STATUS_SUCCESS);
    EXPECT_EQ(second, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&notification_), 1);
    EXPECT_EQ(KeWaitForSingleObject(&notification_, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
}

TEST_F(DispatcherTest, SynchronizationEventReleasesOneWaiterAndResets)
{
    std::atomic<NTSTATUS> first, second;
    auto a = StartWaiter(&synchronization_, -10 * emu::kSecond, first);
    auto b = StartWaiter(&synchronization_, -10 * emu::kSecond, second);
    KeSetEvent(&synchronization_, IO_NO_INCREMENT, FALSE);
    emu::WaitUntil([&] { return first == STATUS_SUCCESS || second == STATUS_SUCCESS; }, "one waiter released");
    EXPECT_EQ(KeReadStateEvent(&synchronization_), 0);
    EXPECT_EQ(sys().clock().TimedWaiters(), 1u);
    KeSetEvent(&synchronization_, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(KeReadStateEvent(&synchronization_), 0);
}

TEST_F(DispatcherTest, SignalledSynchronizationEventIsConsumedByOneWait)
{
    KeSetEvent(&synchronization_, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&synchronization_, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization_, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, ZeroTimeoutPollsAndPositiveTimeoutIsAlreadyPast)
{
    LARGE_INTEGER zero{};
    LARGE_INTEGER absolute{};
    absolute.QuadPart = 5000000;  // an absolute time long before boot
    EXPECT_EQ(KeWaitForSingleObject(&notification_, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(&notification_, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(sys().clock().Now(), 0);
    KeSetEvent(&notification_, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&notification_, Executive, KernelMode, FALSE, &absolute), STATUS_SUCCESS);
}

TEST_F(DispatcherTest, RelativeTimeoutExpiresExactlyAtItsDeadline)
{
    std::atomic<NTSTATUS> result;
    auto waiter = StartWaiter(&notification_, -120 * emu::kSecond, result);
    sys().clock().AdvanceBy(120 * emu::kSecond - 1);
    EXPECT_EQ(result, STATUS_PENDING);
    EXPECT_EQ(sys().clock().TimedWaiters(), 1u);
    sys().clock().AdvanceBy(1);
    waiter.join();
    EXPECT_EQ(result, STATUS_TIMEOUT);
    EXPECT_EQ(sys().clock().Now(), 120 * emu::kSecond);
}

TEST_F(DispatcherTest, SignalBeforeTheDeadlineWinsAndRemovesTheDeadline)
{
    std::atomic<NTSTATUS> result;
    auto waiter = StartWaiter(&notification_, -emu::kSecond, result);
    KeSetEvent(&notification_, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(result, STATUS_SUCCESS);
    EXPECT_FALSE(sys().clock().NextDeadline().has_value());
}

TEST_F(DispatcherTest, ClearedEventBlocksAgain)
{
    KeSetEvent(&notification_, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&notification_);
    EXPECT_EQ(KeReadStateEvent(&notification_), 0);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&notification_, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, TimersFireInDeadlineOrderAsTimeAdvances)
{
    std::vector<int> fired;
    sys().clock().At(30, [&] { fired.push_back(3); });
    sys().clock().At(10, [&] { fired.push_back(1); });
    auto cancelled = sys().clock().At(20, [&] { fired.push_back(2); });
    EXPECT_TRUE(sys().clock().Cancel(cancelled));
    sys().clock().AdvanceBy(15);
    EXPECT_EQ(fired, (std::vector<int>{1}));
    EXPECT_TRUE(sys().clock().AdvanceToNextDeadline());
    EXPECT_EQ(fired, (std::vector<int>{1, 3}));
    EXPECT_EQ(sys().clock().Now(), 30);
    EXPECT_FALSE(sys().clock().AdvanceToNextDeadline());
}

TEST_F(DispatcherTest, SpinLockRaisesToDispatchAndRestores)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// A test holding a lock can see another thread arrive at it: a thread that
// finds the lock held counts as spinning on it until it gets the lock.
TEST_F(DispatcherTest, AThreadCountsAsSpinningWhileTheLockIsHeld)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(emu::SpinLockWaiters(&lock), 0u) << "the holder spins on nothing";
    std::atomic<bool> got{false};
    std::thread other([&] {
        KIRQL previous = KeAcquireSpinLockRaiseToDpc(&lock);
        got = true;
        KeReleaseSpinLock(&lock, previous);
    });
    emu::WaitUntil([&] { return emu::SpinLockWaiters(&lock) == 1; }, "the other thread to spin on the lock");
    EXPECT_FALSE(got);
    KeReleaseSpinLock(&lock, old);
    other.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(emu::SpinLockWaiters(&lock), 0u);
}

// The auto-advancing clock of the demo: a wait that nobody will satisfy ends
// at its deadline as soon as every emulated thread is blocked.
TEST_F(DispatcherTest, AutoAdvanceJumpsToTheDeadlineWhenNothingCanRun)
{
    sys().clock().SetAutoAdvance(true);
    emu::ApiScope application;
    LARGE_INTEGER timeout{};
    timeout.QuadPart = -30 * emu::kSecond;
    EXPECT_EQ(KeWaitForSingleObject(&notification_, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(sys().clock().Now(), 30 * emu::kSecond);
}

// A job posted to a system thread that is blocked in a timed wait inside its
// current job leaves it blocked: the clock still jumps to that wait's deadline.
TEST_F(DispatcherTest, APostToABlockedSystemThreadDoesNotStopTheClock)
{
    emu::SystemThread worker("worker-under-test");
    std::atomic<NTSTATUS> waited{STATUS_PENDING};
    worker.Post([&] {
        LARGE_INTEGER timeout{};
        timeout.QuadPart = -5 * emu::kSecond;
        waited = KeWaitForSingleObject(&notification_, Executive, KernelMode, FALSE, &timeout);
    });
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 1; }, "the job to wait on the clock");
    worker.Post([] {});
    sys().clock().SetAutoAdvance(true);  // only now: the post came while the job waited
    worker.Drain();
    EXPECT_EQ(waited.load(), STATUS_TIMEOUT);
    EXPECT_EQ(sys().clock().Now(), 5 * emu::kSecond);
}

// Counting is exact: an application thread holds the auto-advancing clock
// between two of its calls (it is running its own code), lets it go while it
// waits, and no longer counts once it has ended.
TEST_F(DispatcherTest, AutoAdvanceCountsApplicationThreadsBetweenTheirCalls)
{
    sys().clock().SetAutoAdvance(true);
    { emu::ApiScope call; }
    std::atomic<int> fired{0};
    sys().clock().After(emu::kSecond, [&] { ++fired; });
    EXPECT_EQ(sys().clock().Now(), 0) << "moved while the application ran between calls";
    emu::WaitUntil([&] { return fired == 1; }, "the clock to move while the application waits");
    EXPECT_EQ(sys().clock().Now(), emu::kSecond);

    std::thread other([] { emu::ApiScope call; });
    {
        emu::OutsideWait joining;
        other.join();
    }
    sys().clock().After(emu::kSecond, [&] { ++fired; });
    emu::WaitUntil([&] { return fired == 2; }, "the clock to move with the ended thread no longer counted");
    EXPECT_EQ(sys().clock().Now(), 2 * emu::kSecond);
}

}  // namespace
}  // namespace tesmo::test
