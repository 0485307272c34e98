// The trace sink's lifetime: once it is replaced, no call of the old sink is
// still running, so the object it points to may be destroyed right away.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "SystemTest.h"
#include "emu_ntddk.h"

namespace tesmo::test {
namespace {

class TraceSinkTest : public SystemTest {};

// Race: the sink is detached while another thread is inside it.
TEST_F(TraceSinkTest, DetachingWaitsForACallInProgress)
{
    std::promise<void> entered;
    std::atomic<bool> returned{false};
    sys().SetTraceSink([&](std::uint32_t, std::uint32_t, std::string_view) {
        entered.set_value();
        // Stay inside until the detaching has begun.
        while (EmuTraceSinkAttached()) std::this_thread::yield();
        returned = true;
    });
    std::thread printer([] { DbgPrint("one line\n"); });
    entered.get_future().wait();
    sys().ClearTraceSink();
    EXPECT_TRUE(returned) << "the sink was detached while a call was still running";
    printer.join();
}

TEST_F(TraceSinkTest, ASinkMayReplaceItselfFromInsideACall)
{
    int calls = 0;
    sys().SetTraceSink([&](std::uint32_t, std::uint32_t, std::string_view) {
        ++calls;
        sys().ClearTraceSink();
    });
    DbgPrint("first\n");
    DbgPrint("second\n");
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace tesmo::test
