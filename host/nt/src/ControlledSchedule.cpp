// The controlled schedule: one thread at a time, switched by seeded
// priorities with change points.
#include "ControlledSchedule.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "Dispatcher.h"
#include "Kernel.h"

namespace emu::detail {

namespace {
std::atomic<ControlledSchedule*> g_active{nullptr};
}  // namespace

ControlledSchedule* ActiveSchedule() { return g_active.load(std::memory_order_acquire); }

ControlledSchedule::ControlledSchedule(Dispatcher& dispatcher, const ControlledScheduleOptions& options)
    : dispatcher_(dispatcher),
      seed_(options.seed),
      depth_(std::clamp(options.depth, 1u, ControlledScheduleOptions::kMaxDepth)),
      random_(options.seed),
      log_(std::getenv("TESMO_SCHEDULE_LOG") != nullptr)
{
    std::uint64_t span = std::max<std::uint64_t>(1, options.expectedPoints);
    for (unsigned i = 1; i < depth_; ++i) changePoints_.push_back(1 + random_() % span);
    std::sort(changePoints_.begin(), changePoints_.end());
    g_active.store(this, std::memory_order_release);
}

void ControlledSchedule::Join(ThreadState& thread)
{
    if (stopped_ || thread.schedule.takesPart) return;
    thread.schedule.takesPart = true;
    thread.schedule.polling = false;
    // Initial priorities lie above every change-point priority (0..d-2).
    thread.schedule.priority = depth_ + (random_() >> 2);
    threads_.push_back(&thread);
}

void ControlledSchedule::Leave(std::unique_lock<std::mutex>& lock, ThreadState& thread)
{
    if (!thread.schedule.takesPart) return;
    thread.schedule.takesPart = false;
    threads_.erase(std::find(threads_.begin(), threads_.end(), &thread));
    if (stopped_ || current_ != &thread) return;
    ++progress_;
    HandOn(lock, thread);
}

void ControlledSchedule::TakeTurn(std::unique_lock<std::mutex>& lock, ThreadState& self)
{
    if (stopped_ || !self.schedule.takesPart || current_ == &self) return;
    if (!current_) {
        current_ = &self;
        return;
    }
    AwaitTurn(lock, self);
}

bool ControlledSchedule::Stalled(const ThreadState& thread) const { return thread.schedule.stalledUntil > points_; }

bool ControlledSchedule::Eligible(const ThreadState& thread) const
{
    return thread.ready && !Stalled(thread) && (!thread.schedule.polling || thread.schedule.polledAt != progress_);
}

ThreadState* ControlledSchedule::Choose(std::unique_lock<std::mutex>& lock)
{
    for (;;) {
        ThreadState* best = nullptr;
        for (ThreadState* thread : threads_) {
            if (Eligible(*thread) && (!best || thread->schedule.priority > best->schedule.priority)) best = thread;
        }
        if (best) return best;
        // A thread stalled at a watched access ends its stall early rather
        // than make anyone wait for it, or time pass.
        for (ThreadState* thread : threads_) {
            if (thread->ready && Stalled(*thread)) {
                thread->schedule.stalledUntil = 0;
                return thread;
            }
        }
        // A settling thread waits for the others to stop, not for time.
        for (ThreadState* thread : threads_) {
            if (thread->ready && thread->schedule.settling) return thread;
        }
        // Nobody can run: time passes, if the clock moves by itself.
        if (!dispatcher_.AdvanceForSchedule(lock)) break;
        ++progress_;
        if (stopped_) return nullptr;
    }
    // Nothing will ever run again unless a poller gives up: the oldest one
    // does, as its watchdog would have.
    for (ThreadState* thread : threads_) {
        if (thread->ready && thread->schedule.polling) {
            thread->schedule.pollGaveUp = true;
            return thread;
        }
    }
    return nullptr;
}

void ControlledSchedule::HandOn(std::unique_lock<std::mutex>& lock, ThreadState& self)
{
    ThreadState* next = Choose(lock);
    if (stopped_) return;
    if (!next) {
        // Nobody can run. With every thread idle that is the end of the
        // work; with one waiting on an event it is a hang.
        if (dispatcher_.AnyoneBlocked()) {
            dispatcher_.StopOnHang(lock, "every emulated thread waits and no deadline is pending (found by '" +
                                             self.name + "' under the controlled schedule)");
        }
        current_ = nullptr;
        return;
    }
    if (!next->schedule.polling) ++progress_;
    if (log_)
        std::fprintf(stderr, "schedule: point %llu, %s -> %s\n", static_cast<unsigned long long>(points_),
                     self.name.c_str(), next->name.c_str());
    current_ = next;
    if (next != &self) next->schedule.turn.notify_one();
}

bool ControlledSchedule::AwaitTurn(std::unique_lock<std::mutex>& lock, ThreadState& self)
{
    auto start = std::chrono::steady_clock::now();
    while (!stopped_ && current_ != &self) {
        self.schedule.turn.wait_for(lock, std::chrono::milliseconds(200));
        if (stopped_ || current_ == &self) break;
        if (std::chrono::steady_clock::now() - start > dispatcher_.watchdog) {
            std::string holder = current_ ? current_->name : std::string("nobody");
            dispatcher_.StopOnHang(lock, "thread '" + self.name +
                                             "' waited longer than the watchdog for its turn, "
                                             "held by '" +
                                             holder + "' (a wait the schedule does not see?)");
        }
    }
    return !stopped_;
}

void ControlledSchedule::Release(std::unique_lock<std::mutex>& lock, ThreadState& self)
{
    if (!stopped_ && current_ == &self) HandOn(lock, self);
}

bool ControlledSchedule::WaitBlocked(std::unique_lock<std::mutex>& lock, ThreadState& self)
{
    if (stopped_ || !self.schedule.takesPart) return false;
    if (current_ == &self) HandOn(lock, self);
    return AwaitTurn(lock, self);
}

void ControlledSchedule::Point(std::unique_lock<std::mutex>& lock, ThreadState& self)
{
    if (stopped_) return;
    if (current_ != &self) {
        // Running without the turn: a path that skipped the schedule. Counted,
        // and the turn is taken here so that the excursion ends.
        ++strayPoints_;
        if (log_) std::fprintf(stderr, "schedule: %s reached a point without the turn\n", self.name.c_str());
        if (!self.ready) return;
        TakeTurn(lock, self);
        return;
    }
    ++points_;
    ChangePoint(self);
    HandOn(lock, self);
    AwaitTurn(lock, self);
}

void ControlledSchedule::ChangePoint(ThreadState& self)
{
    if (nextChange_ < changePoints_.size() && points_ >= changePoints_[nextChange_]) {
        self.schedule.priority = nextChange_;
        ++nextChange_;
    }
}

bool ControlledSchedule::Stall(std::unique_lock<std::mutex>& lock, ThreadState& self, unsigned points)
{
    if (stopped_ || current_ != &self) return false;
    ++points_;
    ChangePoint(self);
    self.schedule.stalledUntil = points_ + points;
    HandOn(lock, self);
    AwaitTurn(lock, self);
    self.schedule.stalledUntil = 0;
    return true;
}

bool ControlledSchedule::SystemThreadEligible() const
{
    // A stalled system thread counts: the settling caller waits for it too.
    for (const ThreadState* thread : threads_) {
        if (!thread->adoptedBy.load() && (Eligible(*thread) || (thread->ready && Stalled(*thread)))) return true;
    }
    return false;
}

void ControlledSchedule::Settle(std::unique_lock<std::mutex>& lock, ThreadState& self)
{
    if (stopped_ || !self.schedule.takesPart) return;
    TakeTurn(lock, self);
    self.schedule.settling = true;
    while (!stopped_ && SystemThreadEligible()) {
        self.schedule.polling = true;
        self.schedule.polledAt = progress_;
        HandOn(lock, self);
        AwaitTurn(lock, self);
        self.schedule.polling = false;
    }
    self.schedule.settling = false;
}

bool ControlledSchedule::Poll(std::unique_lock<std::mutex>& lock, ThreadState& self)
{
    if (stopped_ || current_ != &self) return false;
    self.schedule.polling = true;
    self.schedule.polledAt = progress_;
    HandOn(lock, self);
    bool turn = AwaitTurn(lock, self);
    self.schedule.polling = false;
    return turn;
}

void ControlledSchedule::Readied(ThreadState& thread)
{
    if (stopped_ || current_ || !thread.schedule.takesPart) return;
    current_ = &thread;
    thread.schedule.turn.notify_one();
}

void ControlledSchedule::Stop()
{
    g_active.store(nullptr, std::memory_order_release);
    stopped_ = true;
    current_ = nullptr;
    for (ThreadState* thread : threads_) {
        thread->schedule.takesPart = false;
        thread->schedule.turn.notify_all();
    }
    threads_.clear();
}

}  // namespace emu::detail
