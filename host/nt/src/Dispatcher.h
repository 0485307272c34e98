// The dispatcher: the one lock under which events, waiting threads, emulated
// time, deadlines and thread readiness change together, as under the kernel's
// dispatcher lock. Private to the emulation.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "ControlledSchedule.h"
#include "emu/Clock.h"
#include "emu_ntddk.h"

namespace emu {
class Verifier;
}

namespace emu::detail {

class Dispatcher;

// Guards which dispatcher counts which application thread; taken before a
// dispatcher's mutex.
extern std::mutex g_adoptions;

struct ThreadState {
    ThreadState();  // named thread-<n> until it names itself
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;
    ~ThreadState();  // an application thread that ends stops being counted

    std::string name;
    // What the thread is blocked on, for watchdog reports.
    const char* waitKind = nullptr;
    const void* waitObject = nullptr;
    // The dispatcher that counts this application thread from its first call
    // until it ends (null: none). Written under the adoption lock.
    std::atomic<Dispatcher*> adoptedBy{nullptr};

    // Controlled schedule (under the dispatcher's mutex unless noted): the
    // thread takes part, its priority, the turn it waits for, and whether it
    // polls an outside condition (since `polledAt`, the schedule's progress).
    std::uint64_t priority = 0;
    std::condition_variable turn;
    std::uint64_t polledAt = 0;
    int noPreemption = 0;                // the thread's own: timers run, no switch inside
    int spinLocksHeld = 0;               // the thread's own: a holder is never switched out
    std::atomic<bool> scheduled{false};  // also read without the lock
    bool polling = false;
    bool pollGaveUp = false;

    KIRQL irql = PASSIVE_LEVEL;
    bool inPoCallDriver = false;
    // Scheduler view: counted threads take part in the auto-advance decision;
    // a counted thread is ready unless it is blocked.
    bool counted = false;
    bool ready = false;
};

// A scheduling point of the calling thread: under a controlled schedule the
// turn may pass to another thread here. Caller holds no lock.
void SchedulePoint();

ThreadState& Self();

struct Waiter {
    LIST_ENTRY link;  // first member: linked into the event's WaitListHead
    ThreadState* thread = nullptr;
    KEVENT* event = nullptr;
    std::condition_variable cv;
    bool satisfied = false;
    bool timedOut = false;
    bool hasDeadline = false;
    std::map<std::pair<Time, std::uint64_t>, struct Deadline>::iterator deadline;
};

struct Deadline {
    Waiter* waiter = nullptr;     // a timed wait, or
    std::function<void()> timer;  // a timer callback
};

class Dispatcher {
public:
    Dispatcher(Verifier& verifier, std::chrono::milliseconds watchdog,
               const std::optional<ControlledScheduleOptions>& schedule = std::nullopt);
    ~Dispatcher();

    std::mutex mutex;

    // ---- readiness (caller holds mutex) ----
    void MakeReady(ThreadState& thread);
    void MakeBlocked(ThreadState& thread);
    void Count(ThreadState& thread);  // start counting a thread as ready
    void Uncount(std::unique_lock<std::mutex>& lock, ThreadState& thread);

    // A controlled schedule (given to the constructor) runs the threads one
    // at a time; StopSchedule frees them again. Caller holds no lock.
    void StopSchedule();
    // Scheduling primitives for the emulation's own waits (caller holds
    // `lock`); false when no schedule controls the thread.
    bool WaitBlockedScheduled(std::unique_lock<std::mutex>& lock, ThreadState& self)
    {
        return schedule_ && schedule_->WaitBlocked(lock, self);
    }
    bool PollSchedule(std::unique_lock<std::mutex>& lock, ThreadState& self)
    {
        return schedule_ && schedule_->Poll(lock, self);
    }
    std::uint64_t SchedulePoints();

    // Counts an application thread from now until it ends (or the system
    // goes): between two calls it is still running its own code, and the
    // clock must not jump under it. Caller holds no lock.
    void Adopt(ThreadState& thread);
    // The thread ended (caller holds the adoption lock, not the mutex).
    void Forget(ThreadState& thread);
    // Waits until `count` application threads have been adopted since boot,
    // including those that left again (false: `limit` passed first). Caller
    // holds no lock.
    bool AwaitAdopted(std::size_t count, std::chrono::milliseconds limit);

    // Blocks the current thread on `cv` until `done()` holds, with the
    // watchdog. The waker is expected to have called MakeReady.
    void Block(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, const std::function<bool()>& done,
               const char* kind, const void* object);

    // ---- time (caller holds mutex unless noted) ----
    Time now = 0;
    std::uint64_t nextDeadlineId = 1;
    std::map<std::pair<Time, std::uint64_t>, Deadline> deadlines;
    std::size_t timedWaiters = 0;
    std::map<std::uint64_t, std::pair<Time, std::uint64_t>> timersById;
    // Locks internally; fires timers without the lock.
    void AdvanceTo(Time when);
    // A deadline was added: wakes the auto-advancing clock if it may now move.
    void DeadlineAddedLocked();
    bool AdvanceToNextDeadline();
    // Returns whether it was on.
    bool SetAutoAdvance(bool enabled);

    // ---- waits on events (KeWaitForSingleObject) ----
    NTSTATUS WaitForEvent(KEVENT* event, LARGE_INTEGER* timeout);
    LONG SetEvent(KEVENT* event);

    std::string DescribeBlockedThreads();  // caller holds mutex

    std::chrono::milliseconds watchdog;

private:
    friend class ControlledSchedule;
    void AutoAdvanceLoop();
    // Caller holds `lock` on mutex; released while timers run.
    void AdvanceLocked(std::unique_lock<std::mutex>& lock, Time when);
    bool ClockCanAdvanceLocked() const
    {
        return autoAdvance_ && readyCount_ == 0 && !deadlines.empty() && !(schedule_ && !schedule_->stopped());
    }

    Verifier& verifier_;
    std::size_t readyCount_ = 0;
    std::set<ThreadState*> blocked_;
    std::set<ThreadState*> adopted_;  // under the adoption lock and mutex
    std::size_t adoptions_ = 0;       // ever, under the mutex: threads that leave still count
    std::condition_variable adoptedChanged_;
    bool autoAdvance_ = false;
    bool stopping_ = false;
    std::condition_variable autoCv_;
    std::thread autoThread_;
    std::unique_ptr<ControlledSchedule> schedule_;
};

}  // namespace emu::detail
