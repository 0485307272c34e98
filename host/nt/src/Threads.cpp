// Thread names, IRQL scopes, application scopes, system threads and WaitUntil.
#include "emu/Threads.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>

#include "Kernel.h"

namespace emu {

using detail::K;
using detail::Self;

namespace {

// WaitUntil's wake-up. The emulation reports a change far more often than
// anyone waits for one, so a report with no waiter touches two atomics only.
// Never destroyed: destroying a condition variable waits for the threads
// blocked on it, so a process that exits while a system still runs would
// hang in its static destructors.
struct Change {
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<std::uint64_t> generation{0};
    std::atomic<int> waiters{0};
};

Change& TheChange()
{
    static Change* change = new Change;
    return *change;
}

}  // namespace

void SetThreadName(std::string name) { Self().name = std::move(name); }

std::string ThreadName() { return Self().name; }

IrqlScope::IrqlScope(unsigned char irql) : previous_(Self().irql) { Self().irql = irql; }

IrqlScope::~IrqlScope() { Self().irql = previous_; }

ApiScope::ApiScope()
{
    if (!System::Exists()) return;
    auto& dispatcher = K().dispatcher;
    if (Self().adoptedBy.load(std::memory_order_acquire) != &dispatcher) dispatcher.Adopt(Self());
    detail::SchedulePoint();
}

NoPreemption::NoPreemption() { ++Self().schedule.noPreemption; }

NoPreemption::~NoPreemption() { --Self().schedule.noPreemption; }

void DetachThread()
{
    if (!System::Exists()) return;
    std::lock_guard adoptions(detail::g_adoptions);
    if (Self().adoptedBy.load() == &K().dispatcher) K().dispatcher.Forget(Self());
}

bool AwaitApplicationThreads(std::size_t count)
{
    if (!System::Exists()) return false;
    return K().dispatcher.AwaitAdopted(count, System::Current().options().watchdog);
}

std::uint64_t SchedulingPoints() { return System::Exists() ? K().dispatcher.SchedulePoints() : 0; }

std::uint64_t StraySchedulingPoints() { return System::Exists() ? K().dispatcher.StraySchedulePoints() : 0; }

OutsideWait::OutsideWait()
{
    if (!System::Exists() || !Self().counted) return;
    K().dispatcher.BeginOutsideWait(Self());
    blocked_ = true;
}

OutsideWait::~OutsideWait()
{
    if (!blocked_ || !System::Exists()) return;
    K().dispatcher.EndOutsideWait(Self());
}

SystemThread::SystemThread(std::string name) : name_(std::move(name))
{
    auto& dispatcher = K().dispatcher;
    thread_ = std::thread([this, &dispatcher] {
        SetThreadName(name_);
        {
            // Counted and idle in one step, so that a controlled schedule
            // sees the same threads whenever it chooses.
            std::lock_guard lock(dispatcher.mutex);
            dispatcher.Count(Self());
            state_ = &Self();
            idle_ = true;
            dispatcher.MakeBlocked(Self());
        }
        Run();
    });
    // Returns once the thread waits for its first job, so that every job
    // wakes it the same way: a job posted before it ever waited would be
    // found by a thread the schedule did not choose.
    std::unique_lock lock(dispatcher.mutex);
    started_.wait(lock, [&] { return waitedForJobs_; });
}

SystemThread::~SystemThread()
{
    {
        std::lock_guard lock(K().dispatcher.mutex);
        stopping_ = true;
        if (idle_) K().dispatcher.MakeReady(*static_cast<detail::ThreadState*>(state_));
    }
    wake_.notify_one();
    // Under a controlled schedule the thread needs its turn to end.
    OutsideWait joining;
    thread_.join();
}

void SystemThread::Post(std::function<void()> job)
{
    // Notified under the lock: once the job has run, whoever waited for it may
    // destroy this thread, condition variable and all, before an unlocked
    // notify would have reached it.
    std::lock_guard lock(K().dispatcher.mutex);
    jobs_.push_back(std::move(job));
    ++posted_;
    if (idle_) K().dispatcher.MakeReady(*static_cast<detail::ThreadState*>(state_));
    wake_.notify_one();
}

void SystemThread::Drain()
{
    std::unique_lock lock(K().dispatcher.mutex);
    std::size_t target = posted_;
    lock.unlock();
    WaitUntil(
        [&] {
            std::lock_guard inner(K().dispatcher.mutex);
            return finished_ >= target;
        },
        "system thread '" + name_ + "' to drain");
}

bool SystemThread::IsCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

void SystemThread::Run()
{
    auto& dispatcher = K().dispatcher;
    std::unique_lock lock(dispatcher.mutex);
    for (;;) {
        if (jobs_.empty()) {
            if (stopping_) break;
            idle_ = true;
            dispatcher.MakeBlocked(Self());
            if (!waitedForJobs_) {
                // Under the dispatcher's lock until the wait below lets go of
                // it: the constructor sees this once the thread waits.
                waitedForJobs_ = true;
                started_.notify_all();
            }
            auto woken = [&] { return !jobs_.empty() || stopping_; };
            while (!woken() && dispatcher.WaitBlockedScheduled(lock, Self())) {
                if (!woken()) dispatcher.MakeBlocked(Self());
            }
            wake_.wait(lock, woken);
            idle_ = false;
            dispatcher.MakeReady(Self());
            continue;
        }
        // Busy from here: a post while the job waits must not make the thread
        // ready.
        idle_ = false;
        // A job found waiting (posted while the last one ran) starts in this
        // thread's turn, as one that woke for it does.
        dispatcher.TakeTurnScheduled(lock, Self());
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        Self().irql = PASSIVE_LEVEL;
        job();
        if (Self().irql != PASSIVE_LEVEL) {
            detail::Violation(Rule::IrqlMisuse, nullptr,
                              "a job on system thread '" + name_ + "' returned at IRQL " + std::to_string(Self().irql));
            Self().irql = PASSIVE_LEVEL;
        }
        lock.lock();
        ++finished_;
        lock.unlock();
        NotifyStateChanged();
        lock.lock();
    }
    dispatcher.Uncount(lock, Self());
}

void NotifyStateChanged()
{
    Change& change = TheChange();
    // Sequentially consistent with WaitForChange: either the waiter's count is
    // seen here, or the waiter reads the new generation.
    change.generation.fetch_add(1);
    if (change.waiters.load() == 0) return;
    {
        std::lock_guard lock(change.mutex);  // a waiter between its check and its sleep
    }
    change.changed.notify_all();
}

namespace {

std::chrono::milliseconds Watchdog()
{
    return System::Exists() ? System::Current().options().watchdog : std::chrono::milliseconds(60000);
}

// Waits for `condition`, looking again whenever the system's state changes;
// false when `limit` passed first.
bool WaitForChange(const std::function<bool()>& condition, std::chrono::milliseconds limit,
                   ClockWhileWaiting clock = ClockWhileWaiting::Moves)
{
    // Under a controlled schedule the wait is a poll: the others run, and the
    // condition is looked at again after each step they make.
    if (detail::ActiveSchedule() && Self().schedule.takesPart.load(std::memory_order_relaxed)) {
        auto& dispatcher = K().dispatcher;
        for (;;) {
            if (condition()) return true;
            std::unique_lock lock(dispatcher.mutex);
            if (!dispatcher.PollSchedule(lock, Self())) break;
            if (Self().schedule.pollGaveUp) {
                Self().schedule.pollGaveUp = false;
                return false;
            }
        }
    }
    auto start = std::chrono::steady_clock::now();
    std::optional<OutsideWait> blocked;
    if (clock == ClockWhileWaiting::Moves) blocked.emplace();  // the clock may move for what this waits for
    Change& change = TheChange();
    change.waiters.fetch_add(1);
    struct Leave {
        Change& change;
        ~Leave() { change.waiters.fetch_sub(1); }
    } leave{change};
    for (;;) {
        std::uint64_t seen = change.generation.load();
        if (condition()) return true;
        {
            std::unique_lock lock(change.mutex);
            change.changed.wait_for(lock, std::chrono::milliseconds(50),
                                    [&] { return change.generation.load() != seen; });
        }
        if (std::chrono::steady_clock::now() - start > limit) return condition();
    }
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, const std::string& what)
{
    if (WaitForChange(condition, Watchdog())) return true;
    std::string message = "waited longer than the watchdog for " + what;
    if (System::Exists()) {
        std::string blocked;
        {
            std::lock_guard inner(K().dispatcher.mutex);
            blocked = K().dispatcher.DescribeThreads();
        }
        message += "; the threads:\n" + blocked;
        K().verifier.Report(Rule::WaitWatchdog, nullptr, message);
    } else {
        std::fprintf(stderr, "%s\n", message.c_str());
    }
    return false;
}

bool WaitUntilOrWatchdog(const std::function<bool()>& condition, ClockWhileWaiting clock)
{
    return WaitForChange(condition, Watchdog(), clock);
}

}  // namespace emu
