// Dispatcher objects, waits, emulated time and thread readiness.
#include "Dispatcher.h"

#include <atomic>
#include <cstdio>
#include <sstream>

#include "Kernel.h"
#include "emu/ExportEntry.h"
#include "emu/Threads.h"

namespace emu::detail {

namespace {

std::atomic<int> g_threadNumber{0};

// Positive timeouts are absolute system times. The emulated system time is the
// interrupt time plus a fixed boot date, so a small positive value (or any date
// before boot) lies in the past.
constexpr LONGLONG kBootSystemTime = 133'000'000'000'000'000LL;  // early 2022, in 100 ns since 1601

}  // namespace

// Guards which dispatcher counts which application thread, against a thread
// ending while its system goes. Taken before a dispatcher's mutex.
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

Dispatcher::Dispatcher(Verifier& verifier, std::chrono::milliseconds watchdogLimit,
                       const std::optional<ControlledScheduleOptions>& schedule)
    : watchdog(watchdogLimit), verifier_(verifier)
{
    if (schedule) schedule_ = std::make_unique<ControlledSchedule>(*this, *schedule);
    autoThread_ = std::thread([this] { AutoAdvanceLoop(); });
}

Dispatcher::~Dispatcher()
{
    {
        std::lock_guard adoptions(g_adoptions);
        std::lock_guard lock(mutex);
        if (schedule_) schedule_->Stop();
        stopping_ = true;
        // Threads that outlive the system start afresh in the next one.
        for (ThreadState* thread : adopted_) {
            thread->adoptedBy = nullptr;
            thread->counted = false;
            thread->ready = false;
        }
        adopted_.clear();
    }
    autoCv_.notify_all();
    autoThread_.join();
}

void Dispatcher::Count(ThreadState& thread)
{
    if (thread.counted) return;
    thread.counted = true;
    thread.ready = true;
    ++readyCount_;
    if (schedule_) schedule_->Join(thread);
}

void Dispatcher::Uncount(std::unique_lock<std::mutex>& lock, ThreadState& thread)
{
    if (!thread.counted) return;
    thread.counted = false;
    if (thread.ready) {
        thread.ready = false;
        if (--readyCount_ == 0 && ClockCanAdvanceLocked()) autoCv_.notify_one();
    }
    if (schedule_) schedule_->Leave(lock, thread);
}

void Dispatcher::StopSchedule()
{
    std::lock_guard lock(mutex);
    if (schedule_) schedule_->Stop();
    autoCv_.notify_one();
}

std::uint64_t Dispatcher::SchedulePoints()
{
    std::lock_guard lock(mutex);
    return schedule_ ? schedule_->points() : 0;
}

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
    if (schedule_) schedule_->AwaitFirstTurn(lock, thread);
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

void Dispatcher::MakeReady(ThreadState& thread)
{
    if (thread.counted && !thread.ready) {
        thread.ready = true;
        ++readyCount_;
        if (schedule_) schedule_->Readied(thread);
    }
}

void Dispatcher::MakeBlocked(ThreadState& thread)
{
    if (thread.counted && thread.ready) {
        thread.ready = false;
        // Only the last runnable thread going to sleep can let the clock move.
        if (--readyCount_ == 0 && ClockCanAdvanceLocked()) autoCv_.notify_one();
    }
}

void Dispatcher::DeadlineAddedLocked()
{
    if (ClockCanAdvanceLocked()) autoCv_.notify_one();
}

std::string Dispatcher::DescribeBlockedThreads()
{
    std::ostringstream out;
    for (ThreadState* t : blocked_) {
        out << "    thread '" << t->name << "' waits on " << (t->waitKind ? t->waitKind : "?") << ' ' << t->waitObject
            << '\n';
    }
    return out.str();
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
    while (!done()) {
        cv.wait_for(lock, std::chrono::milliseconds(200));
        if (!done() && std::chrono::steady_clock::now() - start > watchdog) {
            std::string who = DescribeBlockedThreads();
            std::string message =
                "thread '" + self.name + "' waited longer than the watchdog on " + kind + "; blocked threads:\n" + who;
            lock.unlock();
            verifier_.Report(Rule::WaitWatchdog, nullptr, message);
            std::fprintf(stderr, "emulation: a wait exceeded the watchdog; stopping.\n%s\n", message.c_str());
            std::fflush(stderr);
            std::abort();
        }
    }
    blocked_.erase(&self);
    MakeReady(self);  // normally done by the waker already
    self.waitKind = nullptr;
    self.waitObject = nullptr;
}

// ---- time ----

void Dispatcher::AdvanceTo(Time when)
{
    ThreadState& self = Self();
    ++self.noPreemption;  // the timers it fires make no scheduling points
    std::unique_lock lock(mutex);
    AdvanceLocked(lock, when);
    lock.unlock();
    --self.noPreemption;
    NotifyStateChanged();
    SchedulePoint();
}

void Dispatcher::AdvanceLocked(std::unique_lock<std::mutex>& lock, Time when)
{
    for (;;) {
        auto first = deadlines.begin();
        if (first == deadlines.end() || first->first.first > when) break;
        if (first->first.first > now) now = first->first.first;
        auto key = first->first;
        Deadline entry = std::move(first->second);
        deadlines.erase(first);
        if (!entry.waiter) timersById.erase(key.second);
        if (entry.waiter) {
            Waiter* w = entry.waiter;
            w->hasDeadline = false;
            --timedWaiters;
            if (!w->satisfied) {
                w->timedOut = true;
                RemoveEntryList(&w->link);
                MakeReady(*w->thread);
                w->cv.notify_all();
            }
        } else {
            lock.unlock();
            entry.timer();
            lock.lock();
        }
    }
    if (when > now) now = when;
}

bool Dispatcher::AdvanceToNextDeadline()
{
    Time next;
    {
        std::lock_guard lock(mutex);
        if (deadlines.empty()) return false;
        next = deadlines.begin()->first.first;
    }
    AdvanceTo(next);
    return true;
}

bool Dispatcher::SetAutoAdvance(bool enabled)
{
    std::lock_guard lock(mutex);
    bool was = autoAdvance_;
    autoAdvance_ = enabled;
    autoCv_.notify_one();
    return was;
}

void Dispatcher::AutoAdvanceLoop()
{
    SetThreadName("clock");
    std::unique_lock lock(mutex);
    for (;;) {
        // Counting is exact (application threads count between their calls,
        // wakers make a thread ready before they let go of the lock), so the
        // clock may move the moment the last counted thread blocks.
        autoCv_.wait(lock, [&] { return stopping_ || ClockCanAdvanceLocked(); });
        if (stopping_) return;
        AdvanceLocked(lock, deadlines.begin()->first.first);
        lock.unlock();
        NotifyStateChanged();
        lock.lock();
    }
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
        Time deadline;
        if (value == 0) return STATUS_TIMEOUT;
        if (value > 0) {
            if (value <= kBootSystemTime + now) return STATUS_TIMEOUT;
            deadline = value - kBootSystemTime;
        } else {
            deadline = now - value;
        }
        waiter.hasDeadline = true;
        waiter.deadline = deadlines.emplace(std::make_pair(deadline, nextDeadlineId++), Deadline{&waiter, {}}).first;
        ++timedWaiters;
    }
    InsertTailList(&event->Header.WaitListHead, &waiter.link);
    Block(
        lock, waiter.cv, [&] { return waiter.satisfied || waiter.timedOut; }, "event", event);
    if (waiter.hasDeadline) {
        deadlines.erase(waiter.deadline);
        --timedWaiters;
    }
    return waiter.satisfied ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

void SchedulePoint()
{
    ControlledSchedule* schedule = ActiveSchedule();
    if (!schedule) return;
    ThreadState& self = Self();
    // As on a multiprocessor, a thread at DISPATCH_LEVEL may lose the turn
    // too (another processor runs meanwhile), but never while it holds a spin
    // lock: the others would spin on it for ever.
    if (!self.scheduled.load(std::memory_order_relaxed) || self.irql > DISPATCH_LEVEL || self.noPreemption ||
        self.spinLocksHeld) {
        return;
    }
    std::unique_lock lock(K().dispatcher.mutex);
    schedule->Point(lock, self);
}

}  // namespace emu::detail

// ---- public clock facade ----

namespace emu {

Time Clock::Now() const
{
    std::lock_guard lock(dispatcher_.mutex);
    return dispatcher_.now;
}

void Clock::AdvanceBy(Time delta) { AdvanceTo(Now() + delta); }

void Clock::AdvanceTo(Time when) { dispatcher_.AdvanceTo(when); }

bool Clock::AdvanceToNextDeadline() { return dispatcher_.AdvanceToNextDeadline(); }

std::optional<Time> Clock::NextDeadline() const
{
    std::lock_guard lock(dispatcher_.mutex);
    if (dispatcher_.deadlines.empty()) return std::nullopt;
    return dispatcher_.deadlines.begin()->first.first;
}

Clock::TimerId Clock::At(Time deadline, std::function<void()> callback)
{
    TimerId id;
    {
        std::lock_guard lock(dispatcher_.mutex);
        id = dispatcher_.nextDeadlineId++;
        auto key = std::make_pair(deadline, id);
        dispatcher_.deadlines.emplace(key, detail::Deadline{nullptr, std::move(callback)});
        dispatcher_.timersById.emplace(id, key);
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
        if (deadline <= dispatcher_.now) return std::nullopt;
        id = dispatcher_.nextDeadlineId++;
        auto key = std::make_pair(deadline, id);
        dispatcher_.deadlines.emplace(key, detail::Deadline{nullptr, std::move(callback)});
        dispatcher_.timersById.emplace(id, key);
        dispatcher_.DeadlineAddedLocked();
    }
    NotifyStateChanged();
    return id;
}

Clock::TimerId Clock::After(Time delay, std::function<void()> callback)
{
    std::lock_guard lock(dispatcher_.mutex);
    TimerId id = dispatcher_.nextDeadlineId++;
    auto key = std::make_pair(dispatcher_.now + delay, id);
    dispatcher_.deadlines.emplace(key, detail::Deadline{nullptr, std::move(callback)});
    dispatcher_.timersById.emplace(id, key);
    dispatcher_.DeadlineAddedLocked();
    return id;
}

bool Clock::Cancel(TimerId id)
{
    std::lock_guard lock(dispatcher_.mutex);
    auto it = dispatcher_.timersById.find(id);
    if (it == dispatcher_.timersById.end()) return false;
    bool erased = dispatcher_.deadlines.erase(it->second) > 0;
    dispatcher_.timersById.erase(it);
    return erased;
}

std::size_t Clock::TimedWaiters() const
{
    std::lock_guard lock(dispatcher_.mutex);
    return dispatcher_.timedWaiters;
}

bool Clock::SetAutoAdvance(bool enabled) { return dispatcher_.SetAutoAdvance(enabled); }

}  // namespace emu

// ---- kernel exports ----

using emu::detail::K;
using emu::detail::Self;

extern "C" {

KIRQL KeGetCurrentIrql(void)
{
    EMU_ENTRY(KeGetCurrentIrql);
    return Self().irql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    EMU_ENTRY(KeRaiseIrql);
    auto& self = Self();
    if (NewIrql < self.irql) {
        emu::detail::Violation(emu::Rule::IrqlMisuse, nullptr,
                               "KeRaiseIrql to " + std::to_string(NewIrql) + " below the current IRQL " +
                                   std::to_string(self.irql));
    }
    *OldIrql = self.irql;
    self.irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    EMU_ENTRY(KeLowerIrql);
    auto& self = Self();
    if (NewIrql > self.irql) {
        emu::detail::Violation(emu::Rule::IrqlMisuse, nullptr,
                               "KeLowerIrql to " + std::to_string(NewIrql) + " above the current IRQL " +
                                   std::to_string(self.irql));
    }
    self.irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void)
{
    EMU_ENTRY(KeRaiseIrqlToDpcLevel);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    EMU_ENTRY(KeInitializeEvent);
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Signalling = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Reserved1 = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN)
{
    EMU_ENTRY(KeSetEvent);
    LONG previous;
    {
        std::lock_guard lock(K().dispatcher.mutex);
        previous = K().dispatcher.SetEvent(Event);
    }
    emu::NotifyStateChanged();
    emu::detail::SchedulePoint();
    return previous;
}

VOID KeClearEvent(PRKEVENT Event)
{
    EMU_ENTRY(KeClearEvent);
    std::lock_guard lock(K().dispatcher.mutex);
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event)
{
    EMU_ENTRY(KeResetEvent);
    std::lock_guard lock(K().dispatcher.mutex);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    EMU_ENTRY(KeReadStateEvent);
    std::lock_guard lock(K().dispatcher.mutex);
    return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout)
{
    EMU_ENTRY(KeWaitForSingleObject);
    KIRQL irql = Self().irql;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && (Timeout == nullptr || Timeout->QuadPart != 0))) {
        emu::detail::Violation(emu::Rule::WaitAtDispatchLevel, nullptr,
                               std::string("KeWaitForSingleObject at IRQL ") + std::to_string(irql) +
                                   (Timeout ? " with a non-zero timeout" : " without a timeout"));
    }
    emu::detail::SchedulePoint();
    return K().dispatcher.WaitForEvent(static_cast<KEVENT*>(Object), Timeout);
}

VOID EmuSchedulingPoint(void)
{
    EMU_ENTRY(EmuSchedulingPoint);
    emu::detail::SchedulePoint();
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval)
{
    EMU_ENTRY(KeDelayExecutionThread);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, Interval);
    return STATUS_SUCCESS;
}

ULONGLONG KeQueryInterruptTime(void)
{
    EMU_ENTRY(KeQueryInterruptTime);
    std::lock_guard lock(K().dispatcher.mutex);
    return static_cast<ULONGLONG>(K().dispatcher.now);
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    EMU_ENTRY(KeQuerySystemTime);
    std::lock_guard lock(K().dispatcher.mutex);
    CurrentTime->QuadPart = emu::detail::kBootSystemTime + K().dispatcher.now;
}

}  // extern "C"
