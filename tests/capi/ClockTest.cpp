// The clocks a program chooses at boot, against a thread that never waits
// inside the system: a short wait of another thread must still end. With the
// wall clock it ends when its time has passed in real time; with the
// self-advancing clock, which that thread holds still, it ends at the
// watchdog and the application's mistake is recorded, never fatal.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CapiSession.h"

namespace tesmo::capi_test {
namespace {

enum class Holder {
    ReadsInALoop,    // one call after the other on a stream that always has bytes
    RunsItsOwnCode,  // attached, then busy with no call at all
};

struct ClockCase {
    const char* label;
    std::int32_t clock;
    Holder holder;
    std::vector<std::string> violations;  // rule names recorded by shutdown
};

const ClockCase kCases[] = {
    {"WallClockBesideAReader", TESMO_CLOCK_WALL, Holder::ReadsInALoop, {}},
    {"WallClockBesideABusyThread", TESMO_CLOCK_WALL, Holder::RunsItsOwnCode, {}},
    {"SelfAdvancingBesideAReader", TESMO_CLOCK_SELF_ADVANCING, Holder::ReadsInALoop, {"ClockHeldByApplication"}},
    {"SelfAdvancingBesideABusyThread", TESMO_CLOCK_SELF_ADVANCING, Holder::RunsItsOwnCode, {"ClockHeldByApplication"}},
};

class ClockTest : public CapiTest, public ::testing::WithParamInterface<ClockCase> {
protected:
    std::int32_t Clock() const override { return GetParam().clock; }
    // The self-advancing clock gives up on its holder at the watchdog.
    std::uint32_t WatchdogMs() const override { return TESMO_MIN_WATCHDOG_MS; }
};

TEST_P(ClockTest, AShortWaitEndsBesideAThreadThatNeverWaits)
{
    tesmo_instrument stream;
    ASSERT_EQ(R(tesmo_instrument_init(&stream, TESMO_INSTRUMENT_STREAM)), kOk);
    Plug(stream);
    HANDLE port = OpenPort();
    std::atomic<bool> stop{false};
    std::thread holder([&] {
        ASSERT_EQ(R(tesmo_thread_attach()), kOk);
        while (!stop.load()) {
            if (GetParam().holder == Holder::ReadsInALoop) {
                char buffer[512];
                DWORD got = 0;
                ReadFile(port, buffer, sizeof buffer, &got, nullptr);
            }
        }
    });
    ASSERT_EQ(R(tesmo_wait_attached_threads(2)), kOk);
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::int64_t before = 0, after = 0;
    ASSERT_EQ(R(tesmo_clock_now(&before)), kOk);
    EXPECT_EQ(WaitForSingleObject(never, 10), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_EQ(R(tesmo_clock_now(&after)), kOk);
    EXPECT_GE(after - before, 10 * 10'000) << "the wait ended before its time on the emulated clock";
    stop = true;
    holder.join();
    EXPECT_TRUE(CloseHandle(never));
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(ShutDownAndTakeViolations(), GetParam().violations) << ViolationTexts();
}

INSTANTIATE_TEST_SUITE_P(Clocks, ClockTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo::capi_test
