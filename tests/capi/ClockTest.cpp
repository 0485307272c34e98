// The clocks a program chooses at boot, against a thread that never waits
// inside the system: a short wait of another thread, and a write that waits
// for the bus's next frame, must still end. With the wall clock they end when
// their time has passed in real time; with the self-advancing clock, which
// that thread holds still, they end at the watchdog and the application's
// mistake is recorded, never fatal.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CapiSession.h"

namespace tesmo::capi_test {
namespace {

enum class Holder {
    CallsInALoop,    // one call after the other, none of which waits
    RunsItsOwnCode,  // attached, then busy with no call at all
};

enum class Waiter {
    ShortWait,        // WaitForSingleObject for 10 ms on an event nobody sets
    FrameTimedWrite,  // a write the bus completes at its next microframe
};

struct ClockCase {
    const char* label;
    std::int32_t clock;
    Holder holder;
    Waiter waiter;
    std::vector<std::string> violations;  // rule names recorded by shutdown
};

const std::vector<std::string> kHeld{"ClockHeldByApplication"};

const ClockCase kCases[] = {
    {"WallClockShortWaitBesideACallingThread", TESMO_CLOCK_WALL, Holder::CallsInALoop, Waiter::ShortWait, {}},
    {"WallClockShortWaitBesideABusyThread", TESMO_CLOCK_WALL, Holder::RunsItsOwnCode, Waiter::ShortWait, {}},
    {"WallClockFrameTimedWriteBesideACallingThread",
     TESMO_CLOCK_WALL,
     Holder::CallsInALoop,
     Waiter::FrameTimedWrite,
     {}},
    {"WallClockFrameTimedWriteBesideABusyThread",
     TESMO_CLOCK_WALL,
     Holder::RunsItsOwnCode,
     Waiter::FrameTimedWrite,
     {}},
    {"SelfAdvancingShortWaitBesideACallingThread", TESMO_CLOCK_SELF_ADVANCING, Holder::CallsInALoop, Waiter::ShortWait,
     kHeld},
    {"SelfAdvancingShortWaitBesideABusyThread", TESMO_CLOCK_SELF_ADVANCING, Holder::RunsItsOwnCode, Waiter::ShortWait,
     kHeld},
    {"SelfAdvancingFrameTimedWriteBesideACallingThread", TESMO_CLOCK_SELF_ADVANCING, Holder::CallsInALoop,
     Waiter::FrameTimedWrite, kHeld},
    {"SelfAdvancingFrameTimedWriteBesideABusyThread", TESMO_CLOCK_SELF_ADVANCING, Holder::RunsItsOwnCode,
     Waiter::FrameTimedWrite, kHeld},
};

class ClockTest : public CapiTest, public ::testing::WithParamInterface<ClockCase> {
protected:
    std::int32_t Clock() const override { return GetParam().clock; }
    // The self-advancing clock gives up on its holder at the watchdog.
    std::uint32_t WatchdogMs() const override { return TESMO_MIN_WATCHDOG_MS; }
};

TEST_P(ClockTest, AWaitEndsBesideAThreadThatNeverWaits)
{
    const ClockCase& c = GetParam();
    // A looped-back port at high speed under frame timing: a write waits for
    // the next microframe.
    tesmo_instrument loopback;
    ASSERT_EQ(R(tesmo_instrument_init(&loopback, TESMO_INSTRUMENT_LOOPBACK)), kOk);
    loopback.packet_size = 512;
    loopback.frame_timing = 1;
    Plug(loopback);
    HANDLE port = OpenPort();
    std::atomic<bool> stop{false};
    std::thread holder([&] {
        ASSERT_EQ(R(tesmo_thread_attach()), kOk);
        // Not the port's calls: those wait for the port's synchronous I/O.
        HANDLE own = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        while (!stop.load()) {
            if (c.holder == Holder::CallsInALoop) SetEvent(own);
        }
        CloseHandle(own);
    });
    ASSERT_EQ(R(tesmo_wait_attached_threads(2)), kOk);
    std::int64_t before = 0, after = 0;
    ASSERT_EQ(R(tesmo_clock_now(&before)), kOk);
    if (c.waiter == Waiter::ShortWait) {
        HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_EQ(WaitForSingleObject(never, 10), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_TRUE(CloseHandle(never));
        ASSERT_EQ(R(tesmo_clock_now(&after)), kOk);
        EXPECT_GE(after - before, 10 * 10'000) << "the wait ended before its time on the emulated clock";
    } else {
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(port, "frame", 5, &written, nullptr)) << GetLastError();
        EXPECT_EQ(written, 5u);
        ASSERT_EQ(R(tesmo_clock_now(&after)), kOk);
        EXPECT_GT(after, before) << "the write ended before the next frame";
    }
    stop = true;
    holder.join();
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(ShutDownAndTakeViolations(), c.violations) << ViolationTexts();
}

INSTANTIATE_TEST_SUITE_P(Clocks, ClockTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo::capi_test
