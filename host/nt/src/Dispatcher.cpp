// Thread readiness, application threads, blocking with the watchdog, and the
// dispatcher objects' waits and signals.
#include "Dispatcher.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "Kernel.h"
#include "emu/Threads.h"

namespace emu::detail {

namespace {

std::atomic<int> g_threadNumber{0};

}  // namespace

std::mutex g_adoptions;

ThreadState::ThreadState() : name("thread-" + std::to_string(++g_threadNumber)) {}

ThreadState::~ThreadState()
{
    std::lock_guard adoptions(g_adoptions);
    if (Dispatcher* dispatcher = adoptedBy.load()) dispatcher->Forget(*this);
}

ThreadState& Self()
{
    thread_local ThreadState self;
    return self;
}

Dispatcher::Dispatcher(Verifier& verifier, const DispatcherOptions& options)
    : watchdog(options.watchdog),
      verifier_(verifier),
      clockMode_(options.clock),
      wallStart_(std::chrono::steady_clock::now())
{
    if (options.schedule) schedule_ = std::make_unique<ControlledSchedule>(*this, *options.schedule);
    clockThread_ = std::thread([this] { ClockThread(); });
}

Dispatcher::~Dispatcher()
{
    {
        std::lock_guard adoptions(g_adoptions);
        std::lock_guard lock(mutex);
        if (schedule_) schedule_->Stop();
        stopping_ = true;
        // Threads that outlive the system start afresh in the next one.
        counted_.clear();
        for (ThreadState* thread : adopted_) {
            thread->adoptedBy = nullptr;
            thread->counted = false;
            thread->ready = false;
        }
        adopted_.clear();
    }
    clockCv_.notify_all();
    clockThread_.join();
}

// ---- readiness ----

void Dispatcher::Count(ThreadState& thread)
{
    if (thread.counted) return;
    thread.counted = true;
    thread.ready = true;
    ++readyCount_;
    counted_.push_back(&thread);
    if (schedule_) schedule_->Join(thread);
}

void Dispatcher::Uncount(std::unique_lock<std::mutex>& lock, ThreadState& thread)
{
    if (!thread.counted) return;
    thread.counted = false;
    counted_.erase(std::find(counted_.begin(), counted_.end(), &thread));
    if (thread.ready) {
        thread.ready = false;
        if (--readyCount_ == 0 && SelfAdvanceDueLocked()) clockCv_.notify_one();
    }
    if (schedule_) schedule_->Leave(lock, thread);
}

void Dispatcher::MakeReady(ThreadState& thread)
{
    if (thread.counted && !thread.ready) {
        thread.ready = true;
        ++readyCount_;
        if (thread.adoptedBy.load(std::memory_order_relaxed) == this) ++applicationRuns_;
        if (schedule_) schedule_->Readied(thread);
    }
}

void Dispatcher::MakeBlocked(ThreadState& thread)
{
    if (thread.counted && thread.ready) {
        thread.ready = false;
        // Only the last runnable thread going to sleep can let the clock move.
        if (--readyCount_ == 0 && SelfAdvanceDueLocked()) clockCv_.notify_one();
    }
}

// ---- application threads ----

void Dispatcher::Adopt(ThreadState& thread)
{
    std::unique_lock adoptions(g_adoptions);
    std::unique_lock lock(mutex);
    if (thread.adoptedBy.load()) return;
    Count(thread);
    thread.adoptedBy = this;
    adopted_.insert(&thread);
    ++adoptions_;
    adoptedChanged_.notify_all();
    // Under a controlled schedule a newcomer runs only when its turn comes
    // (waited for without the adoption lock, which others need to join).
    adoptions.unlock();
    TakeTurnScheduled(lock, thread);
}

void Dispatcher::Forget(ThreadState& thread)
{
    std::unique_lock lock(mutex);
    Uncount(lock, thread);
    adopted_.erase(&thread);
    thread.adoptedBy = nullptr;
}

bool Dispatcher::AwaitAdopted(std::size_t count, std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex);
    return adoptedChanged_.wait_for(lock, limit, [&] { return adoptions_ >= count || stopping_; });
}

// ---- the controlled schedule ----

void Dispatcher::StopSchedule()
{
    std::lock_guard lock(mutex);
    if (schedule_) schedule_->Stop();
    clockCv_.notify_one();
}

void Dispatcher::SettleSchedule()
{
    {
        std::lock_guard lock(mutex);
        if (!schedule_ || schedule_->stopped()) return;
    }
    ThreadState& self = Self();
    if (self.adoptedBy.load() != this) Adopt(self);
    std::unique_lock lock(mutex);
    schedule_->Settle(lock, self);
}

std::uint64_t Dispatcher::SchedulePoints()
{
    std::lock_guard lock(mutex);
    return schedule_ ? schedule_->points() : 0;
}

std::uint64_t Dispatcher::StraySchedulePoints()
{
    std::lock_guard lock(mutex);
    return schedule_ ? schedule_->strayPoints() : 0;
}

// ---- blocking ----

void Dispatcher::BeginOutsideWait(ThreadState& self)
{
    std::unique_lock lock(mutex);
    MakeBlocked(self);
    if (schedule_) schedule_->Release(lock, self);
}

void Dispatcher::EndOutsideWait(ThreadState& self)
{
    std::unique_lock lock(mutex);
    MakeReady(self);
    TakeTurnScheduled(lock, self);
}

std::string Dispatcher::DescribeThreads() const
{
    std::ostringstream out;
    for (ThreadState* t : counted_) {
        out << "    thread '" << t->name << (t->adoptedBy.load() ? "' (application)" : "'");
        if (blocked_.count(t)) {
            out << " waits on " << (t->waitKind ? t->waitKind : "?") << ' ' << t->waitObject << '\n';
        } else if (t->ready) {
            out << " is ready (it runs, or runs its own code between calls)\n";
        } else {
            out << " waits outside the system or for work\n";
        }
    }
    return out.str();
}

void Dispatcher::StopOnHang(std::unique_lock<std::mutex>& lock, const std::string& what)
{
    std::string message = what + "; the threads:\n" + DescribeThreads();
    lock.unlock();
    verifier_.Report(Rule::WaitWatchdog, nullptr, message);
    std::fprintf(stderr, "emulation: the system is hung; stopping.\n%s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

void Dispatcher::Block(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                       const std::function<bool()>& done, const char* kind, const void* object)
{
    ThreadState& self = Self();
    self.waitKind = kind;
    self.waitObject = object;
    blocked_.insert(&self);
    MakeBlocked(self);
    NotifyStateChanged();
    // Under a controlled schedule the turn passes on; it comes back once a
    // waker (or the clock) made this thread ready, and so `done` holds.
    while (!done() && WaitBlockedScheduled(lock, self)) {
        if (!done()) MakeBlocked(self);
    }
    auto start = std::chrono::steady_clock::now();
    std::uint64_t applicationRuns = applicationRuns_;
    while (!done()) {
        cv.wait_for(lock, std::chrono::milliseconds(200));
        if (done() || std::chrono::steady_clock::now() - start <= watchdog) continue;
        if (ReleaseClockHeldByApplication(lock, self, applicationRuns)) {
            start = std::chrono::steady_clock::now();
            applicationRuns = applicationRuns_;
            continue;
        }
        StopOnHang(lock, "thread '" + self.name + "' waited longer than the watchdog on " + kind);
    }
    blocked_.erase(&self);
    MakeReady(self);  // normally done by the waker already
    self.waitKind = nullptr;
    self.waitObject = nullptr;
}

// ---- events ----

LONG Dispatcher::SetEvent(KEVENT* event)
{
    LONG previous = event->Header.SignalState;
    PLIST_ENTRY head = &event->Header.WaitListHead;
    if (event->Header.Type == NotificationEvent) {
        event->Header.SignalState = 1;
        while (!IsListEmpty(head)) {
            auto* w = reinterpret_cast<Waiter*>(RemoveHeadList(head));
            w->satisfied = true;
            MakeReady(*w->thread);
            w->cv.notify_all();
        }
    } else if (!IsListEmpty(head)) {
        auto* w = reinterpret_cast<Waiter*>(RemoveHeadList(head));
        w->satisfied = true;
        MakeReady(*w->thread);
        w->cv.notify_all();
    } else {
        event->Header.SignalState = 1;
    }
    return previous;
}

NTSTATUS Dispatcher::WaitForEvent(KEVENT* event, LARGE_INTEGER* timeout)
{
    std::unique_lock lock(mutex);
    if (event->Header.SignalState > 0) {
        if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
        return STATUS_SUCCESS;
    }
    Waiter waiter;
    waiter.thread = &Self();
    waiter.event = event;
    if (timeout) {
        LONGLONG value = timeout->QuadPart;
        if (value == 0) return STATUS_TIMEOUT;
        Time now = NowLocked();
        Time deadline;
        if (value > 0) {
            if (value <= kBootSystemTime + now) return STATUS_TIMEOUT;
            deadline = value - kBootSystemTime;
        } else {
            deadline = now - value;
        }
        waiter.deadline = timeline.AddWait(deadline, &waiter);
        DeadlineAddedLocked();
    }
    InsertTailList(&event->Header.WaitListHead, &waiter.link);
    Block(
        lock, waiter.cv, [&] { return waiter.satisfied || waiter.timedOut; }, "event", event);
    if (waiter.deadline) timeline.RemoveWait(*waiter.deadline);
    return waiter.satisfied ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

namespace {

// As on a multiprocessor, a thread at DISPATCH_LEVEL may lose the turn too
// (another processor runs meanwhile), but never while it holds a spin lock:
// the others would spin on it for ever.
bool MayLoseTurn(const ThreadState& self)
{
    return self.schedule.takesPart.load(std::memory_order_relaxed) && self.irql <= DISPATCH_LEVEL &&
           !self.schedule.noPreemption && !self.schedule.spinLocksHeld;
}

}  // namespace

void SchedulePoint()
{
    ControlledSchedule* schedule = ActiveSchedule();
    if (!schedule) return;
    ThreadState& self = Self();
    if (!MayLoseTurn(self)) return;
    std::unique_lock lock(K().dispatcher.mutex);
    schedule->Point(lock, self);
}

bool MayLoseTurnHere() { return ActiveSchedule() && MayLoseTurn(Self()); }

bool StallForPoints(unsigned points)
{
    ControlledSchedule* schedule = ActiveSchedule();
    if (!schedule) return false;
    ThreadState& self = Self();
    if (!MayLoseTurn(self)) return false;
    std::unique_lock lock(K().dispatcher.mutex);
    return schedule->Stall(lock, self, points);
}

}  // namespace emu::detail
