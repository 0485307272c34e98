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
      depth_(std::clamp(options.depth, 1u, ControlledScheduleOptions::kMaxDepth)),
      random_(options.seed)
{
    std::uint64_t span = std::max<std::uint64_t>(1, options.expectedPoints);
    for (unsigned i = 1; i < depth_; ++i) changePoints_.push_back(1 + random_() % span);
    std::sort(changePoints_.begin(), changePoints_.end());
    g_active.store(this, std::memory_order_release);
}

void ControlledSchedule::Join(ThreadState& thread)
{
    if (stopped_ || thread.scheduled) return;
    thread.scheduled = true;
    thread.polling = false;
    // Initial priorities lie above every change-point priority (0..d-2).
    thread.priority = depth_ + (random_() >> 2);
    threads_.push_back(&thread);
}

void ControlledSchedule::Leave(std::unique_lock<std::mutex>& lock, ThreadState& thread)
{
    if (!thread.scheduled) return;
    thread.scheduled = false;
    threads_.erase(std::find(threads_.begin(), threads_.end(), &thread));
    if (stopped_ || current_ != &thread) return;
    ++progress_;
    HandOn(lock, thread);
}

void ControlledSchedule::AwaitFirstTurn(std::unique_lock<std::mutex>& lock, ThreadState& self)
{
    if (stopped_ || !self.scheduled) return;
    if (!current_) {
        current_ = &self;
        return;
    }
    AwaitTurn(lock, self);
}

bool ControlledSchedule::Eligible(const ThreadState& thread) const
{
    return thread.ready && (!thread.polling || thread.polledAt != progress_);
}

ThreadState* ControlledSchedule::Choose(std::unique_lock<std::mutex>& lock)
{
    for (;;) {
        ThreadState* best = nullptr;
        for (ThreadState* thread : threads_) {
            if (Eligible(*thread) && (!best || thread->priority > best->priority)) best = thread;
        }
        if (best) return best;
        if (!dispatcher_.autoAdvance_ || dispatcher_.deadlines.empty()) break;
        // Nobody can run: time passes. Timers fire on this thread; they make
        // no scheduling points of their own.
        ++progress_;
        ThreadState& self = Self();
        ++self.noPreemption;
        dispatcher_.AdvanceLocked(lock, dispatcher_.deadlines.begin()->first.first);
        --self.noPreemption;
        if (stopped_) return nullptr;
    }
    // Nothing will ever run again unless a poller gives up: the oldest one
    // does, as its watchdog would have.
    for (ThreadState* thread : threads_) {
        if (thread->ready && thread->polling) {
            thread->pollGaveUp = true;
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
        if (!dispatcher_.blocked_.empty()) ReportHang(lock, self);
        current_ = nullptr;
        return;
    }
    if (!next->polling) ++progress_;
    current_ = next;
    if (next != &self) next->turn.notify_one();
}

bool ControlledSchedule::AwaitTurn(std::unique_lock<std::mutex>& lock, ThreadState& self)
{
    auto start = std::chrono::steady_clock::now();
    while (!stopped_ && current_ != &self) {
        self.turn.wait_for(lock, std::chrono::milliseconds(200));
        if (stopped_ || current_ == &self) break;
        if (std::chrono::steady_clock::now() - start > dispatcher_.watchdog) {
            std::string holder = current_ ? current_->name : std::string("nobody");
            std::fprintf(stderr,
                         "emulation: thread '%s' waited longer than the watchdog for its turn, held by '%s' "
                         "(a wait the schedule does not see?); stopping.\n%s",
                         self.name.c_str(), holder.c_str(), dispatcher_.DescribeBlockedThreads().c_str());
            std::fflush(stderr);
            std::abort();
        }
    }
    return !stopped_;
}

bool ControlledSchedule::WaitBlocked(std::unique_lock<std::mutex>& lock, ThreadState& self)
{
    if (stopped_ || !self.scheduled) return false;
    if (current_ == &self) HandOn(lock, self);
    return AwaitTurn(lock, self);
}

void ControlledSchedule::Point(std::unique_lock<std::mutex>& lock, ThreadState& self)
{
    if (stopped_ || current_ != &self) return;
    ++points_;
    if (nextChange_ < changePoints_.size() && points_ >= changePoints_[nextChange_]) {
        self.priority = nextChange_;
        ++nextChange_;
    }
    HandOn(lock, self);
    AwaitTurn(lock, self);
}

bool ControlledSchedule::Poll(std::unique_lock<std::mutex>& lock, ThreadState& self)
{
    if (stopped_ || current_ != &self) return false;
    self.polling = true;
    self.polledAt = progress_;
    HandOn(lock, self);
    bool turn = AwaitTurn(lock, self);
    self.polling = false;
    return turn;
}

void ControlledSchedule::Readied(ThreadState& thread)
{
    if (stopped_ || current_ || !thread.scheduled) return;
    current_ = &thread;
    thread.turn.notify_one();
}

void ControlledSchedule::Stop()
{
    g_active.store(nullptr, std::memory_order_release);
    stopped_ = true;
    current_ = nullptr;
    for (ThreadState* thread : threads_) {
        thread->scheduled = false;
        thread->turn.notify_all();
    }
    threads_.clear();
}

void ControlledSchedule::ReportHang(std::unique_lock<std::mutex>& lock, const ThreadState& self)
{
    std::string message = "every emulated thread waits and no deadline is pending (found by '" + self.name +
                          "'); blocked threads:\n" + dispatcher_.DescribeBlockedThreads();
    lock.unlock();
    K().verifier.Report(Rule::WaitWatchdog, nullptr, message);
    std::fprintf(stderr, "emulation: the controlled schedule found the system hung; stopping.\n%s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace emu::detail
