// The controlled schedule: one thread at a time, the interleaving a function
// of the seed, and a hang named the moment nothing can run.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

#include "emu/System.h"
#include "emu/Threads.h"
#include "emu_ntddk.h"

namespace tesmo::test {
namespace {

emu::SystemOptions Controlled(std::uint64_t seed, unsigned depth = 3)
{
    emu::SystemOptions options;
    options.autoAdvanceClock = true;
    options.controlledSchedule = emu::ControlledScheduleOptions{seed, depth, 60};
    return options;
}

// Two application threads write their letter at each scheduling point; the
// string is the interleaving. No lock guards it: only one thread runs.
std::string Interleaving(std::uint64_t seed, unsigned depth = 3)
{
    emu::System system(Controlled(seed, depth));
    std::string order;
    emu::ApiScope starter;
    auto worker = [&order](char letter) {
        emu::ApiScope inside;
        for (int i = 0; i < 30; ++i) {
            order += letter;
            EmuSchedulingPoint();
        }
        emu::DetachThread();
    };
    std::thread a(worker, 'a');
    emu::AwaitApplicationThreads(2);
    std::thread b(worker, 'b');
    emu::AwaitApplicationThreads(3);
    emu::DetachThread();
    a.join();
    b.join();
    system.Shutdown();
    return order;
}

// An application thread and a system thread started on demand write their
// letters at each scheduling point; no thread may run outside its turn.
std::string InterleavingWithASystemThread(std::uint64_t seed, std::uint64_t* strays)
{
    emu::System system(Controlled(seed));
    std::string order;
    emu::ApiScope starter;
    {
        emu::SystemThread worker("worker");
        // Posted before the new thread ever waited for a job: the job still
        // waits for the thread's turn.
        worker.Post([&order] {
            for (int i = 0; i < 20; ++i) {
                order += 'w';
                EmuSchedulingPoint();
            }
        });
        for (int i = 0; i < 20; ++i) {
            order += 'a';
            EmuSchedulingPoint();
        }
        worker.Drain();
        *strays = emu::StraySchedulingPoints();
    }
    emu::DetachThread();
    system.Shutdown();
    return order;
}

TEST(ControlledScheduleTest, AJobWaitingForANewThreadRunsInItsTurn)
{
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        std::uint64_t strays = 0, straysAgain = 0;
        std::string first = InterleavingWithASystemThread(seed, &strays);
        EXPECT_EQ(InterleavingWithASystemThread(seed, &straysAgain), first) << "seed " << seed;
        EXPECT_EQ(strays + straysAgain, 0u) << "seed " << seed;
    }
}

TEST(ControlledScheduleTest, TheSeedDecidesTheInterleaving)
{
    EXPECT_EQ(Interleaving(7), Interleaving(7));
    std::set<std::string> seen;
    for (std::uint64_t seed = 1; seed <= 12; ++seed) seen.insert(Interleaving(seed));
    // Priorities and change points move the switches about: more than the
    // two orders a run-to-completion scheduler would give.
    EXPECT_GT(seen.size(), 2u);
    for (const std::string& order : seen) EXPECT_EQ(order.size(), 60u);
}

// The change points are drawn at boot, one by one: a depth past the largest
// is taken as the largest, so that no depth can keep the boot from ending.
TEST(ControlledScheduleTest, ADepthPastTheLargestIsTakenAsTheLargest)
{
    constexpr unsigned kMax = emu::ControlledScheduleOptions::kMaxDepth;
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        EXPECT_EQ(Interleaving(seed, kMax + 1000), Interleaving(seed, kMax)) << "seed " << seed;
    }
}

// A wait nothing can end: no other thread may run and no deadline is pending.
TEST(ControlledScheduleDeathTest, AHangIsReportedAtOnce)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            emu::System system(Controlled(1));
            emu::ApiScope inside;
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "no deadline is pending");
}

// A spin-wait with the processor's pause in its loop lets the thread it waits
// for run, whichever of the two the seed ranks higher (no change point ever
// reorders them).
TEST(ControlledScheduleTest, ASpinWaitThatPausesLetsTheThreadItWaitsForFinish)
{
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        emu::System system(Controlled(seed, 1));
        std::atomic<bool> done{false};
        emu::ApiScope starter;
        std::thread setter([&done] {
            emu::ApiScope inside;
            for (int i = 0; i < 5; ++i) EmuSchedulingPoint();
            done = true;
            emu::DetachThread();
        });
        emu::AwaitApplicationThreads(2);
        while (!done) {
            EmuSchedulingPoint();
            YieldProcessor();
        }
        emu::DetachThread();
        setter.join();
        system.Shutdown();
    }
}

// A timed wait is no hang: with nobody to run, the schedule moves the clock.
TEST(ControlledScheduleTest, TimeMovesWhenNobodyCanRun)
{
    emu::System system(Controlled(3));
    emu::ApiScope inside;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10'000'000;  // 1 s
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(system.clock().Now(), 10'000'000);
    emu::DetachThread();
    system.Shutdown();
}

}  // namespace
}  // namespace tesmo::test
