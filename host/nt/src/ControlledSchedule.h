// A controlled schedule: the emulated threads run one at a time. The running
// thread holds the turn; at each scheduling point (a kernel call boundary of a
// thread that holds no spin lock, at DISPATCH_LEVEL too as on a
// multiprocessor; an application call; a wait) the turn may pass to another
// thread, chosen from a seed by random priorities with d-1 change points
// (probabilistic concurrency testing: a bug of depth d is found with
// probability at least 1/(n k^(d-1)) for n threads and k points). The same
// seed and program give the same interleaving, so a failure replays exactly.
//
// Everything here is guarded by the dispatcher's mutex. Threads take part
// from their counting (system threads, adopted application threads) until
// they end; a thread the dispatcher does not count runs uncontrolled.
// Waits outside the emulated system (WaitUntil) become polls: the waiting
// thread looks again each time another thread has made progress. When no
// thread can run, the schedule moves the clock to the next deadline; when
// none is pending either, the system is hung and the schedule says so.
#pragma once

#include <cstdint>
#include <mutex>
#include <random>
#include <vector>

#include "emu/System.h"

namespace emu::detail {

class Dispatcher;
struct ThreadState;

class ControlledSchedule {
public:
    ControlledSchedule(Dispatcher& dispatcher, const ControlledScheduleOptions& options);

    // The thread is counted from now on; it draws its priority. It does not
    // run until the turn reaches it, except when nobody holds the turn.
    void Join(ThreadState& thread);
    // The thread stops being counted (it ends or leaves): the turn passes on.
    void Leave(std::unique_lock<std::mutex>& lock, ThreadState& thread);
    // A ready thread about to run code of its own accord (an application
    // thread that joined from outside, a system thread that finds a job
    // waiting) runs it only in its turn: it takes the turn when nobody holds
    // it, else waits for it.
    void TakeTurn(std::unique_lock<std::mutex>& lock, ThreadState& self);

    // The calling thread blocked (it is no longer ready): the turn passes on,
    // and the call returns when the turn is back. False once the schedule has
    // stopped: the caller waits the free-running way.
    bool WaitBlocked(std::unique_lock<std::mutex>& lock, ThreadState& self);
    // The calling thread waits outside the system (it is no longer ready):
    // the turn passes on without it waiting for its return (TakeTurn does).
    void Release(std::unique_lock<std::mutex>& lock, ThreadState& self);
    // A scheduling point of the running thread.
    void Point(std::unique_lock<std::mutex>& lock, ThreadState& self);
    // A scheduling point at a watched memory access: the running thread
    // gives the turn away for the next `points` points (sooner when nobody
    // else can run). False when the thread did not hold the turn.
    bool Stall(std::unique_lock<std::mutex>& lock, ThreadState& self, unsigned points);
    // The seed the schedule was drawn from (the race detector samples from it).
    std::uint64_t seed() const { return seed_; }
    // The calling thread lets the system's own threads run until none of
    // them is ready, without moving the clock: what they were doing is done
    // before the caller goes on (a shutdown, before the schedule ends).
    void Settle(std::unique_lock<std::mutex>& lock, ThreadState& self);
    // The calling thread's outside condition is false: it lets the others run
    // and returns when it should look again. False once stopped.
    bool Poll(std::unique_lock<std::mutex>& lock, ThreadState& self);

    // The thread became ready. When nobody holds the turn (every thread was
    // idle and an outside thread made this one ready) it takes it.
    void Readied(ThreadState& thread);
    // Frees every thread to run as it would without a schedule (shutdown).
    void Stop();
    bool stopped() const { return stopped_; }
    bool Holds(const ThreadState& thread) const { return !stopped_ && current_ == &thread; }
    std::uint64_t points() const { return points_; }
    // Scheduling points a taking-part thread reached without holding the
    // turn: each is a path of the emulation that let a thread run outside the
    // schedule, and makes the interleaving depend on the host's timing.
    std::uint64_t strayPoints() const { return strayPoints_; }

private:
    bool Eligible(const ThreadState& thread) const;
    bool Stalled(const ThreadState& thread) const;
    // Passes a change point when one is due: the running thread's priority drops.
    void ChangePoint(ThreadState& self);
    bool SystemThreadEligible() const;
    // The next thread to run, moving the clock when nobody can; null when
    // the system is hung.
    ThreadState* Choose(std::unique_lock<std::mutex>& lock);
    // Gives the turn to the chosen thread; reports a hang.
    void HandOn(std::unique_lock<std::mutex>& lock, ThreadState& self);
    bool AwaitTurn(std::unique_lock<std::mutex>& lock, ThreadState& self);

    Dispatcher& dispatcher_;
    std::uint64_t seed_;
    unsigned depth_;
    std::mt19937_64 random_;
    std::vector<std::uint64_t> changePoints_;  // ascending step numbers
    std::size_t nextChange_ = 0;
    std::vector<ThreadState*> threads_;  // in the order they joined
    ThreadState* current_ = nullptr;
    std::uint64_t points_ = 0;
    std::uint64_t strayPoints_ = 0;
    // TESMO_SCHEDULE_LOG: each hand-over of the turn, one line to stderr.
    bool log_ = false;
    // Moves on whenever a thread that is not polling runs or the clock moves:
    // a poller looks again only after that.
    std::uint64_t progress_ = 0;
    bool stopped_ = false;
};

// The active schedule of the running system; null when threads run freely.
ControlledSchedule* ActiveSchedule();

}  // namespace emu::detail
