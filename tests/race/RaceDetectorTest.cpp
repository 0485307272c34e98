// The race detector on a probe driver built with its instrumentation: each
// way of sharing a counter between two threads, sound or faulty, and what the
// detector says about it. A finding that never fires protects nothing; one
// that fires on sound code buries the real ones.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <optional>
#include <thread>

#include "LoadedDriver.h"
#include "SystemTest.h"
#include "emu/Races.h"
#include "emu/Threads.h"
#include "emu_ntddk.h"

namespace tesmo::test {
namespace {

using Routine = void();

// A fresh system with the probe loaded, under a controlled schedule when a
// seed is given. Watchpoints, process-wide, go back to their defaults.
class ProbeSystem {
public:
    explicit ProbeSystem(std::optional<std::uint64_t> seed) : system_(Options(seed)) {}
    ~ProbeSystem()
    {
        probe_.reset();
        system_.Shutdown();
        emu::SetWatchpoints(64, 3);
    }

    emu::System& system() { return system_; }
    template <typename T>
    T* Symbol(const char* name) const
    {
        return probe_->Symbol<T>(name);
    }
    // Runs `work` on a new application thread of the system and waits for it.
    void OnAnotherThread(const std::function<void()>& work)
    {
        std::thread([&] {
            emu::ApiScope inside;
            work();
            emu::DetachThread();
        }).join();
    }

private:
    static emu::SystemOptions Options(std::optional<std::uint64_t> seed)
    {
        emu::DescribeGlobal("ProbeOrdered", sizeof(LONG), emu::Guard::Ordered, nullptr, "the test's threads");
        emu::DescribeGlobal("ProbeTicket", sizeof(LONG), emu::Guard::Interlocked);
        emu::SystemOptions options = TestSystemOptions();
        if (seed) {
            options.autoAdvanceClock = true;
            options.controlledSchedule = emu::ControlledScheduleOptions{*seed, 3, 60};
        }
        return options;
    }

    emu::System system_;
    std::unique_ptr<LoadedDriver> probe_ = std::make_unique<LoadedDriver>(system_, u"RaceProbe", TESMO_RACE_PROBE_PATH);
};

// ---- lockset: the order the threads ran in does not matter ----

struct Step {
    const char* routine;
    bool onAnotherThread;
};

struct SharedCount {
    const char* label;
    std::array<Step, 3> steps;  // run in turn, the test's own thread unless marked
    const char* location;       // the global the routines share
    const char* faulty;         // the routine a finding must name, or null for none
};

constexpr bool kOther = true;

const SharedCount kSharedCounts[] = {
    {"LockOnBothSides",
     {{{"ProbeCountUnderLock", false}, {"ProbeCountUnderLock", kOther}, {"ProbeCountUnderLock", false}}},
     "ProbeCount",
     nullptr},
    {"InterlockedOnBothSides",
     {{{"ProbeCountInterlocked", false}, {"ProbeCountInterlocked", kOther}, {"ProbeCountInterlocked", false}}},
     "ProbeCount",
     nullptr},
    {"LockDroppedOnOneSide",
     {{{"ProbeCountUnderLock", false}, {"ProbeCountWithoutLock", kOther}, {"ProbeCountUnderLock", false}}},
     "ProbeCount",
     "ProbeCountWithoutLock"},
    {"LockDroppedOnTheFirstSide",
     {{{"ProbeCountWithoutLock", false}, {"ProbeCountUnderLock", kOther}, {"ProbeCountWithoutLock", false}}},
     "ProbeCount",
     "ProbeCountUnderLock"},
    {"IrqlRaisedButNoLockTaken",
     {{{"ProbeCountUnderLock", false}, {"ProbeCountAtDispatchLevel", kOther}, {"ProbeCountUnderLock", false}}},
     "ProbeCount",
     "ProbeCountAtDispatchLevel"},
    {"InterlockedOnOneSidePlainOnTheOther",
     {{{"ProbeCountInterlocked", false}, {"ProbeCountWithoutLock", kOther}, {"ProbeCountInterlocked", false}}},
     "ProbeCount",
     "ProbeCountWithoutLock"},
    // A stated guard binds even a thread that alone touches the global.
    {"InterlockedTicketTakenPlainlyByOneThread",
     {{{"ProbeTakeTicket", false}, {"ProbeTakeTicketPlainly", false}, {"ProbeTakeTicket", false}}},
     "ProbeTicket",
     "ProbeTakeTicketPlainly"},
};

class SharedCountTest : public ::testing::TestWithParam<SharedCount> {};

TEST_P(SharedCountTest, IsReportedExactlyWhenOneSideGoesUnguarded)
{
    const SharedCount& c = GetParam();
    ProbeSystem probe(std::nullopt);
    emu::ApiScope test;
    for (const Step& step : c.steps) {
        auto* routine = probe.Symbol<Routine>(step.routine);
        if (step.onAnotherThread) probe.OnAnotherThread(routine);
        else routine();
    }

    auto found = probe.system().verifier().Take(emu::Rule::UnguardedAccess);
    ASSERT_EQ(found.size(), c.faulty ? 1u : 0u);
    if (c.faulty) {
        // The finding names the location, the faulty access by its routine
        // and, between two threads, the plain access before it.
        EXPECT_NE(found[0].message.find(c.location), std::string::npos) << found[0].message;
        EXPECT_NE(found[0].message.find(c.faulty), std::string::npos) << found[0].message;
        if (c.steps[1].onAnotherThread) {
            EXPECT_NE(found[0].message.find("before that"), std::string::npos) << found[0].message;
        }
    }
    emu::RaceReport figures = emu::CurrentRaceReport();
    EXPECT_GT(figures.checked + figures.atomics, 0u);
    ExpectNoViolations(probe.system().verifier());
}

INSTANTIATE_TEST_SUITE_P(RaceDetector, SharedCountTest, ::testing::ValuesIn(kSharedCounts),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- watchpoints: a stalled access and what happens in its window ----

struct WatchedStore {
    const char* label;
    bool otherThreadInstrumented;  // false: it stores past the hooks
    const char* says;
};

const WatchedStore kWatchedStores[] = {
    {"AnotherThreadStoresMeanwhile", true, "while written by thread"},
    {"UnseenCodeChangesTheValue", false, "by no access the detector saw"},
};

class WatchedStoreTest : public ::testing::TestWithParam<WatchedStore> {};

TEST_P(WatchedStoreTest, IsADataRaceWithTheWatchedAccess)
{
    const WatchedStore& c = GetParam();
    emu::SetWatchpoints(1, 3);
    ProbeSystem probe(std::uint64_t{7});
    auto* store = probe.Symbol<void(LONG)>("ProbeStoreOrdered");
    auto* value = probe.Symbol<volatile LONG>("ProbeOrdered");
    auto storer = [&](LONG base) {
        emu::ApiScope inside;
        for (LONG i = 0; i < 20; ++i) {
            if (base == 0 || c.otherThreadInstrumented) store(base + i);
            else *value = base + i;
            EmuSchedulingPoint();
        }
        emu::DetachThread();
    };
    {
        emu::ApiScope starter;
        std::thread watched(storer, 0);
        emu::AwaitApplicationThreads(2);
        std::thread other(storer, 1000);
        emu::AwaitApplicationThreads(3);
        emu::DetachThread();
        watched.join();
        other.join();
    }
    auto found = probe.system().verifier().Take(emu::Rule::DataRace);
    ASSERT_FALSE(found.empty());
    EXPECT_NE(found[0].message.find("ProbeOrdered"), std::string::npos) << found[0].message;
    EXPECT_NE(found[0].message.find(c.says), std::string::npos) << found[0].message;
    EXPECT_NE(found[0].message.find("ProbeStoreOrdered"), std::string::npos) << found[0].message;
    // Ordered memory is the watchpoints' alone: the lockset stays silent.
    EXPECT_TRUE(probe.system().verifier().Take(emu::Rule::UnguardedAccess).empty());
    ExpectNoViolations(probe.system().verifier());
}

INSTANTIATE_TEST_SUITE_P(RaceDetector, WatchedStoreTest, ::testing::ValuesIn(kWatchedStores),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo::test
