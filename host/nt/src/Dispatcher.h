// The dispatcher: the one lock under which events, waiting threads, emulated
// time, deadlines and thread readiness change together, as under the kernel's
// dispatcher lock. Private to the emulation.
//
// Its parts live in three files: Dispatcher.cpp (readiness, adoption of
// application threads, blocking and the watchdog, events and waits), Clock.cpp
// (moving the time: by hand, by itself when every thread waits, or with the
// wall clock; the public emu::Clock) and KernelWaits.cpp (the Ke* exports).
//
// Locking: `mutex` guards everything here, the timeline and the controlled
// schedule, unless a member says otherwise. Timer callbacks run without it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ControlledSchedule.h"
#include "ThreadState.h"
#include "Timeline.h"
#include "emu/Clock.h"
#include "emu/Verifier.h"
#include "emu_ntddk.h"

namespace emu::detail {

// The emulated system time is the interrupt time plus a fixed boot date, so
// a small positive (absolute) timeout, or any date before boot, lies in the
// past.
constexpr LONGLONG kBootSystemTime = 133'000'000'000'000'000LL;  // early 2022, in 100 ns since 1601

// A scheduling point of the calling thread: under a controlled schedule the
// turn may pass to another thread here. Caller holds no lock.
void SchedulePoint();
// Under a controlled schedule, when the calling thread may lose the turn
// here (as at a scheduling point), gives it away for the next `points`
// points and returns true when it has it back. Caller holds no lock.
bool StallForPoints(unsigned points);
// Whether the calling thread, taking part in a controlled schedule, may lose
// the turn here (no spin lock held, not above DISPATCH_LEVEL). Its own state
// only: no lock taken.
bool MayLoseTurnHere();

struct Waiter {
    LIST_ENTRY link;  // first member: linked into the event's WaitListHead
    ThreadState* thread = nullptr;
    KEVENT* event = nullptr;
    std::condition_variable cv;
    bool satisfied = false;
    bool timedOut = false;
    std::optional<Timeline::Key> deadline;  // while its deadline is on the timeline
};

struct DispatcherOptions {
    std::chrono::milliseconds watchdog{std::chrono::seconds(60)};
    ClockMode clock = ClockMode::Manual;
    std::optional<ControlledScheduleOptions> schedule;
};

class Dispatcher {
public:
    Dispatcher(Verifier& verifier, const DispatcherOptions& options);
    ~Dispatcher();
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    std::mutex mutex;
    Timeline timeline;
    const std::chrono::milliseconds watchdog;

    // ---- readiness (caller holds mutex) ----
    void MakeReady(ThreadState& thread);
    void MakeBlocked(ThreadState& thread);
    void Count(ThreadState& thread);  // start counting a thread as ready
    void Uncount(std::unique_lock<std::mutex>& lock, ThreadState& thread);

    // ---- application threads (caller holds no lock) ----
    // Counts an application thread from now until it ends (or the system
    // goes): between two calls it is still running its own code, and the
    // clock must not jump under it.
    void Adopt(ThreadState& thread);
    // The thread ended (caller holds the adoption lock, not the mutex).
    void Forget(ThreadState& thread);
    // Waits until `count` application threads have been adopted since boot,
    // including those that left again (false: `limit` passed first).
    bool AwaitAdopted(std::size_t count, std::chrono::milliseconds limit);

    // ---- the controlled schedule ----
    // Caller holds no lock: StopSchedule frees every thread to run as it
    // would without one; SettleSchedule first lets the system's threads
    // finish what they are doing under it (the caller takes part from then
    // on), so that a free-running teardown starts from the same state every
    // run.
    void StopSchedule();
    void SettleSchedule();
    std::uint64_t SchedulePoints();
    std::uint64_t StraySchedulePoints();
    // Caller holds `lock`; each is false (or does nothing) when no schedule
    // controls the thread: the caller then goes on the free-running way.
    bool WaitBlockedScheduled(std::unique_lock<std::mutex>& lock, ThreadState& self)
    {
        return schedule_ && schedule_->WaitBlocked(lock, self);
    }
    bool PollSchedule(std::unique_lock<std::mutex>& lock, ThreadState& self)
    {
        return schedule_ && schedule_->Poll(lock, self);
    }
    void TakeTurnScheduled(std::unique_lock<std::mutex>& lock, ThreadState& self)
    {
        if (schedule_) schedule_->TakeTurn(lock, self);
    }
    ControlledSchedule* schedule() { return schedule_.get(); }

    // What the schedule needs of the dispatcher (caller holds `lock`):
    // whether any thread waits on an event, and a move of the clock to the
    // next deadline when every taking-part thread waits (false: the clock
    // may not move, or no deadline is pending).
    bool AnyoneBlocked() const { return !blocked_.empty(); }
    bool AdvanceForSchedule(std::unique_lock<std::mutex>& lock);

    // The calling thread waits for something outside the system (another
    // thread to end, a terminal): it is not ready meanwhile, and under a
    // controlled schedule its turn passes on until the wait ends. Caller
    // holds no lock.
    void BeginOutsideWait(ThreadState& self);
    void EndOutsideWait(ThreadState& self);

    // Blocks the current thread on `cv` until `done()` holds, with the
    // watchdog. The waker is expected to have called MakeReady.
    void Block(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, const std::function<bool()>& done,
               const char* kind, const void* object);
    // Every counted thread and where it stands: waiting on what, waiting
    // outside the system, or ready (caller holds mutex).
    std::string DescribeThreads() const;
    // Stops the emulated machine on a hang: reports it as a WaitWatchdog
    // violation, prints it and aborts. Caller holds `lock`.
    [[noreturn]] void StopOnHang(std::unique_lock<std::mutex>& lock, const std::string& what);

    // ---- waits on events (KeWaitForSingleObject, KeSetEvent) ----
    NTSTATUS WaitForEvent(KEVENT* event, LARGE_INTEGER* timeout);
    LONG SetEvent(KEVENT* event);  // caller holds mutex

    // ---- time (Clock.cpp) ----
    // The current time (caller holds mutex); with the wall clock it first
    // catches up with wall time, up to the next deadline.
    Time NowLocked();
    // Moves time to `when`, firing what comes due in order. Locks; fires
    // timers without the lock.
    void AdvanceTo(Time when);
    bool AdvanceToNextDeadline();
    // A deadline was added (caller holds mutex): the clock thread looks again.
    void DeadlineAddedLocked();
    ClockMode SetClockMode(ClockMode mode);  // returns the mode before
    ClockMode clockMode();

private:
    // Caller holds `lock` on mutex; released while timers run.
    void AdvanceLocked(std::unique_lock<std::mutex>& lock, Time when);
    void ClockThread();
    bool SelfAdvanceDueLocked() const;
    Time WallTimeLocked() const;
    // The self-advancing clock stands still while an application thread runs
    // its own code (it is ready between calls). When a wait has outlasted the
    // watchdog while application threads kept running (one is ready now, or
    // one became ready since `runsBefore` of applicationRuns_), the
    // application's mistake is reported and time moves on to the next
    // deadline. True when it moved.
    bool ReleaseClockHeldByApplication(std::unique_lock<std::mutex>& lock, const ThreadState& waiter,
                                       std::uint64_t runsBefore);

    Verifier& verifier_;
    std::size_t readyCount_ = 0;
    std::vector<ThreadState*> counted_;  // in the order they were counted
    std::set<ThreadState*> blocked_;
    std::set<ThreadState*> adopted_;     // under the adoption lock and mutex
    std::size_t adoptions_ = 0;          // ever: threads that leave still count
    std::uint64_t applicationRuns_ = 0;  // times an application thread became ready
    std::condition_variable adoptedChanged_;

    ClockMode clockMode_;
    // The wall clock: emulated time `wallBase_` stood at the moment
    // `wallStart_`; a manual move ahead of it shifts the base.
    Time wallBase_ = 0;
    std::chrono::steady_clock::time_point wallStart_;
    bool stopping_ = false;
    std::condition_variable clockCv_;
    std::unique_ptr<ControlledSchedule> schedule_;
    std::thread clockThread_;  // last: started once everything else is set
};

}  // namespace emu::detail
