// Moving emulated time: by hand, by itself when every counted thread waits,
// or with the wall clock; the clock thread; and the public emu::Clock.
#include <algorithm>
#include <vector>

#include "Dispatcher.h"
#include "Kernel.h"
#include "emu/Threads.h"

namespace emu::detail {

bool Dispatcher::SelfAdvanceDueLocked() const
{
    // Counting is exact (application threads count between their calls,
    // wakers make a thread ready before they let go of the lock), so the
    // clock may move the moment the last counted thread blocks. A running
    // controlled schedule moves it itself, when it finds nobody to run.
    if (schedule_ && !schedule_->stopped()) return false;
    return clockMode_ == ClockMode::SelfAdvancing && readyCount_ == 0 && !timeline.empty();
}

Time Dispatcher::WallTimeLocked() const
{
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - wallStart_);
    return wallBase_ + elapsed.count() / 100;
}

Time Dispatcher::NowLocked()
{
    if (clockMode_ == ClockMode::WallClock) {
        // Up to the next deadline only: what comes due is fired by the clock
        // thread, in order, never skipped by a reader.
        Time caughtUp = WallTimeLocked();
        if (auto next = timeline.Next()) caughtUp = std::min(caughtUp, *next);
        timeline.MoveTo(caughtUp);
    }
    return timeline.now();
}

void Dispatcher::AdvanceLocked(std::unique_lock<std::mutex>& lock, Time when)
{
    while (auto due = timeline.TakeDue(when)) {
        if (Waiter* w = due->waiter) {
            w->deadline.reset();
            if (!w->satisfied) {
                w->timedOut = true;
                RemoveEntryList(&w->link);
                MakeReady(*w->thread);
                w->cv.notify_all();
            }
        } else {
            lock.unlock();
            due->timer();
            lock.lock();
        }
    }
    timeline.MoveTo(when);
    // Moved ahead of the wall clock by hand: it follows on from there.
    if (clockMode_ == ClockMode::WallClock) {
        Time wall = WallTimeLocked();
        if (when > wall) wallBase_ += when - wall;
    }
}

void Dispatcher::AdvanceTo(Time when)
{
    ThreadState& self = Self();
    ++self.schedule.noPreemption;  // the timers it fires make no scheduling points
    std::unique_lock lock(mutex);
    AdvanceLocked(lock, when);
    lock.unlock();
    --self.schedule.noPreemption;
    NotifyStateChanged();
    SchedulePoint();
}

bool Dispatcher::AdvanceToNextDeadline()
{
    Time next;
    {
        std::lock_guard lock(mutex);
        std::optional<Time> first = timeline.Next();
        if (!first) return false;
        next = *first;
    }
    AdvanceTo(next);
    return true;
}

bool Dispatcher::AdvanceForSchedule(std::unique_lock<std::mutex>& lock)
{
    std::optional<Time> next = timeline.Next();
    if (clockMode_ != ClockMode::SelfAdvancing || !next) return false;
    ThreadState& self = Self();
    ++self.schedule.noPreemption;  // timers fire on this thread without points of their own
    AdvanceLocked(lock, *next);
    --self.schedule.noPreemption;
    return true;
}

void Dispatcher::DeadlineAddedLocked()
{
    // The wall clock's thread sleeps until the earliest deadline it knew of;
    // the new one may be earlier.
    if (SelfAdvanceDueLocked() || clockMode_ == ClockMode::WallClock) clockCv_.notify_one();
}

ClockMode Dispatcher::SetClockMode(ClockMode mode)
{
    std::lock_guard lock(mutex);
    ClockMode before = clockMode_;
    if (mode == ClockMode::WallClock && before != ClockMode::WallClock) {
        wallBase_ = timeline.now();
        wallStart_ = std::chrono::steady_clock::now();
    }
    clockMode_ = mode;
    clockCv_.notify_one();
    return before;
}

ClockMode Dispatcher::clockMode()
{
    std::lock_guard lock(mutex);
    return clockMode_;
}

bool Dispatcher::ReleaseClockHeldByApplication(std::unique_lock<std::mutex>& lock, const ThreadState& waiter,
                                               std::uint64_t runsBefore)
{
    if (clockMode_ != ClockMode::SelfAdvancing || (schedule_ && !schedule_->stopped()) || timeline.empty()) {
        return false;
    }
    // The clock stood still all along: some counted thread was ready at
    // every moment. Application threads that kept running calls (or run one
    // now) held it; with none of them running, a system thread that never
    // lets go is the system's hang, not the application's.
    bool applicationRunning = applicationRuns_ != runsBefore;
    for (const ThreadState* thread : adopted_) applicationRunning = applicationRunning || thread->ready;
    if (!applicationRunning) return false;
    // The holders: the application threads that are not waiting inside the
    // system now (between calls, or in a call that does not wait), else the
    // others that ran calls meanwhile; each is named once.
    std::string holders;
    for (bool running : {true, false}) {
        for (ThreadState* thread : adopted_) {
            if (thread == &waiter || thread->clockHoldReported || blocked_.count(thread) == (running ? 1u : 0u)) {
                continue;
            }
            thread->clockHoldReported = true;
            holders += (holders.empty() ? "'" : ", '") + thread->name + "'";
        }
        if (!holders.empty()) break;
    }
    if (!holders.empty()) {
        std::string message = "application thread(s) " + holders +
                              " ran code of their own, outside any call, for longer than the watchdog while thread '" +
                              waiter.name +
                              "' waited on the self-advancing clock, which moves only when every thread waits; the "
                              "clock was moved on for the waiting threads (a clock that follows the wall clock, or "
                              "tesmo_thread_detach around the thread's own work, avoids this); the threads:\n" +
                              DescribeThreads();
        lock.unlock();
        verifier_.ReportApplicationMistake(Rule::ClockHeldByApplication, message);
        lock.lock();
    }
    if (std::optional<Time> next = timeline.Next()) AdvanceLocked(lock, *next);
    lock.unlock();
    NotifyStateChanged();
    lock.lock();
    return true;
}

void Dispatcher::ClockThread()
{
    SetThreadName("clock");
    std::unique_lock lock(mutex);
    while (!stopping_) {
        if (SelfAdvanceDueLocked()) {
            AdvanceLocked(lock, *timeline.Next());
        } else if (clockMode_ == ClockMode::WallClock && !timeline.empty()) {
            Time next = *timeline.Next();
            if (next > WallTimeLocked()) {
                clockCv_.wait_until(lock, wallStart_ + std::chrono::nanoseconds((next - wallBase_) * 100));
                continue;
            }
            AdvanceLocked(lock, WallTimeLocked());
        } else {
            clockCv_.wait(lock);
            continue;
        }
        lock.unlock();
        NotifyStateChanged();
        lock.lock();
    }
}

}  // namespace emu::detail

namespace emu {

Time Clock::Now() const
{
    std::lock_guard lock(dispatcher_.mutex);
    return dispatcher_.NowLocked();
}

void Clock::AdvanceBy(Time delta) { AdvanceTo(Now() + delta); }

void Clock::AdvanceTo(Time when) { dispatcher_.AdvanceTo(when); }

bool Clock::AdvanceToNextDeadline() { return dispatcher_.AdvanceToNextDeadline(); }

std::optional<Time> Clock::NextDeadline() const
{
    std::lock_guard lock(dispatcher_.mutex);
    return dispatcher_.timeline.Next();
}

Clock::TimerId Clock::At(Time deadline, std::function<void()> callback)
{
    TimerId id;
    {
        std::lock_guard lock(dispatcher_.mutex);
        id = dispatcher_.timeline.AddTimer(deadline, std::move(callback));
        dispatcher_.DeadlineAddedLocked();
    }
    NotifyStateChanged();
    return id;
}

std::optional<Clock::TimerId> Clock::AtIfAhead(Time deadline, std::function<void()> callback)
{
    TimerId id;
    {
        std::lock_guard lock(dispatcher_.mutex);
        if (deadline <= dispatcher_.NowLocked()) return std::nullopt;
        id = dispatcher_.timeline.AddTimer(deadline, std::move(callback));
        dispatcher_.DeadlineAddedLocked();
    }
    NotifyStateChanged();
    return id;
}

Clock::TimerId Clock::After(Time delay, std::function<void()> callback)
{
    std::lock_guard lock(dispatcher_.mutex);
    TimerId id = dispatcher_.timeline.AddTimer(dispatcher_.NowLocked() + delay, std::move(callback));
    dispatcher_.DeadlineAddedLocked();
    return id;
}

bool Clock::Cancel(TimerId id)
{
    std::lock_guard lock(dispatcher_.mutex);
    return dispatcher_.timeline.CancelTimer(id);
}

std::size_t Clock::TimedWaiters() const
{
    std::lock_guard lock(dispatcher_.mutex);
    return dispatcher_.timeline.timedWaiters();
}

ClockMode Clock::SetMode(ClockMode mode) { return dispatcher_.SetClockMode(mode); }

ClockMode Clock::mode() const { return dispatcher_.clockMode(); }

bool Clock::SetAutoAdvance(bool enabled)
{
    return SetMode(enabled ? ClockMode::SelfAdvancing : ClockMode::Manual) == ClockMode::SelfAdvancing;
}

}  // namespace emu
