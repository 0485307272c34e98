// Remove locks: the count of holders, the refusal once the lock was released
// for removal, the wait for the last holder, and the misuses the verifier
// catches.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "SystemTest.h"
#include "emu/RemoveLocks.h"
#include "emu_ntddk.h"

namespace tesmo::test {
namespace {

constexpr ULONG kLockTag = emu::TagFromText("Kvrl");
PVOID const kHolderTag = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(kLockTag));

class RemoveLockTest : public SystemTest {
protected:
    void SetUp() override
    {
        IoInitializeRemoveLock(&lock_, kLockTag, 0, 0);
    }
    NTSTATUS Acquire() { return IoAcquireRemoveLock(&lock_, kHolderTag); }
    void Release() { IoReleaseRemoveLock(&lock_, kHolderTag); }
    long Count() { return emu::InspectRemoveLock(&lock_).ioCount; }

    IO_REMOVE_LOCK lock_;
};

TEST_F(RemoveLockTest, CountsEachHolderAboveTheLocksOwnCount)
{
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(Acquire(), STATUS_SUCCESS);
    EXPECT_EQ(Acquire(), STATUS_SUCCESS);
    EXPECT_EQ(Count(), 3);
    Release();
    Release();
    EXPECT_EQ(Count(), 1);
    EXPECT_FALSE(emu::InspectRemoveLock(&lock_).removed);
}

TEST_F(RemoveLockTest, ReleaseAndWaitWithoutOtherHoldersReturnsAndRefusesLaterAcquisitions)
{
    ASSERT_EQ(Acquire(), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock_, kHolderTag);
    EXPECT_TRUE(emu::InspectRemoveLock(&lock_).removed);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(Acquire(), STATUS_DELETE_PENDING);
    EXPECT_EQ(Count(), 0) << "a refused acquisition must undo its count";
}

// Race: removal waits while another thread still holds the lock; it goes on
// only when that holder releases.
TEST_F(RemoveLockTest, ReleaseAndWaitBlocksUntilTheLastHolderOnAnotherThreadReleases)
{
    ASSERT_EQ(Acquire(), STATUS_SUCCESS);  // the test thread is the other holder
    std::atomic<bool> returned{false};
    std::thread remover([&] {
        ASSERT_EQ(Acquire(), STATUS_SUCCESS);
        IoReleaseRemoveLockAndWait(&lock_, kHolderTag);
        returned = true;
    });
    emu::WaitUntil([&] { return emu::InspectRemoveLock(&lock_).waiters == 1; }, "the remover to wait");
    EXPECT_FALSE(returned);
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(Acquire(), STATUS_DELETE_PENDING) << "no new holder once removal began";
    EXPECT_EQ(emu::InspectRemoveLock(&lock_).waiters, 1u) << "a refused acquisition must not wake the remover";
    Release();
    remover.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(Count(), 0);
}

TEST_F(RemoveLockTest, ReleaseWithoutAcquisitionIsCaughtAndLeavesTheCount)
{
    Release();
    EXPECT_EQ(TakeViolations(emu::Rule::RemoveLockOverRelease).size(), 1u);
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(Acquire(), STATUS_SUCCESS) << "the lock must still work after the caught release";
    Release();
}

TEST_F(RemoveLockTest, ReleaseAfterRemovalCompletedIsCaught)
{
    ASSERT_EQ(Acquire(), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock_, kHolderTag);
    Release();
    EXPECT_EQ(TakeViolations(emu::Rule::RemoveLockOverRelease).size(), 1u);
    EXPECT_EQ(Count(), 0);
}

TEST_F(RemoveLockTest, ReleaseAndWaitByACallerThatDoesNotHoldTheLockIsCaught)
{
    IoReleaseRemoveLockAndWait(&lock_, kHolderTag);
    EXPECT_EQ(TakeViolations(emu::Rule::RemoveLockOverRelease).size(), 1u);
}

TEST_F(RemoveLockTest, HolderTagOtherThanTheLocksIsReported)
{
    PVOID other = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(emu::TagFromText("Othr")));
    EXPECT_EQ(IoAcquireRemoveLock(&lock_, other), STATUS_SUCCESS);
    IoReleaseRemoveLock(&lock_, other);
    auto reported = TakeViolations(emu::Rule::NotModelled);
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_NE(reported[0].message.find("'Othr'"), std::string::npos) << reported[0].message;
    EXPECT_EQ(Count(), 1);
}

TEST_F(RemoveLockTest, AcquireAndReleaseWorkAtDispatchButReleaseAndWaitDoesNot)
{
    {
        emu::IrqlScope dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(Acquire(), STATUS_SUCCESS);
        Release();
        EXPECT_EQ(Acquire(), STATUS_SUCCESS);
        IoReleaseRemoveLockAndWait(&lock_, kHolderTag);
    }
    EXPECT_EQ(TakeViolations(emu::Rule::IrqlMisuse).size(), 1u);
}

}  // namespace
}  // namespace tesmo::test
