// The emulated pool: blocks tracked by tag, type and size, not zeroed when
// allocated, poisoned when freed, and failed on demand.
#include <gtest/gtest.h>

#include "SystemTest.h"
#include "emu_ntddk.h"

namespace tesmo::test {
namespace {

constexpr ULONG kTag = emu::TagFromText("Test");

using PoolTest = SystemTest;

TEST_F(PoolTest, TracksEachBlockByTagTypeAndSize)
{
    void* a = ExAllocatePoolWithTag(NonPagedPool, 128, kTag);
    void* b = ExAllocatePoolWithTag(static_cast<POOL_TYPE>(PagedPool | POOL_COLD_ALLOCATION), 258, kTag);
    auto held = sys().pool().OutstandingWithTag(kTag);
    ASSERT_EQ(held.size(), 2u);
    std::size_t total = held[0].size + held[1].size;
    EXPECT_EQ(total, 386u);
    EXPECT_EQ(emu::TagText(kTag), "Test");
    ExFreePoolWithTag(a, kTag);
    ExFreePoolWithTag(b, kTag);
    EXPECT_TRUE(sys().pool().OutstandingWithTag(kTag).empty());
}

TEST_F(PoolTest, NewBlocksAreNotZeroedAndFreedBlocksArePoisoned)
{
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
    EXPECT_NE(block[0], 0);  // a driver must not rely on zeroed pool
    ExFreePoolWithTag(block, kTag);
    EXPECT_EQ(block[5], 0xDF);  // the block stays in quarantine, poisoned
}

TEST_F(PoolTest, CheckpointShowsWhatWasAllocatedSince)
{
    void* before = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    auto checkpoint = sys().pool().Checkpoint();
    void* after = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    auto since = sys().pool().OutstandingSince(checkpoint);
    ASSERT_EQ(since.size(), 1u);
    EXPECT_EQ(since[0].address, after);
    ExFreePoolWithTag(before, kTag);
    ExFreePoolWithTag(after, kTag);
}

TEST_F(PoolTest, FailsTheNthAllocationOnce)
{
    sys().faults().FailNth(emu::FaultSite::Pool, 2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    void* third = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_TRUE(sys().faults().Hit(emu::FaultSite::Pool));
    ExFreePoolWithTag(first, kTag);
    ExFreePoolWithTag(third, kTag);
}

TEST_F(PoolTest, FreeUnicodeStringReleasesWhateverTagTheBufferHas)
{
    UNICODE_STRING name{0, 8, static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 8, kTag))};
    RtlFreeUnicodeString(&name);
    EXPECT_EQ(name.Buffer, nullptr);
    EXPECT_TRUE(sys().pool().OutstandingWithTag(kTag).empty());
}

}  // namespace
}  // namespace tesmo::test
