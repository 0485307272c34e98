// Emulated threads: names for diagnostics, IRQL for tests that play a
// completion context, runnable accounting for the auto-advancing clock, and the
// system threads (work queues) the emulation runs its managers on.
//
// A thread blocked in KeWaitForSingleObject, in WaitUntil, in an OutsideWait or
// idle in a SystemThread's queue is not runnable; a SystemThread with work is,
// and so is an application thread from its first ApiScope until it ends,
// whenever it is not waiting (between two calls it runs its own code).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <string>
#include <thread>

namespace emu {

void SetThreadName(std::string name);
std::string ThreadName();

// Runs a scope at a raised IRQL (for tests that stand in for a completion
// context) and restores the previous level.
class IrqlScope {
public:
    explicit IrqlScope(unsigned char irql);
    ~IrqlScope();
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

private:
    unsigned char previous_;
};

// An application thread inside a call into the emulated system. The first
// one makes the thread count as runnable until it ends.
class ApiScope {
public:
    ApiScope();
    ApiScope(const ApiScope&) = delete;
    ApiScope& operator=(const ApiScope&) = delete;
};

// The calling application thread makes no more calls into the running
// system: it stops being counted (under a controlled schedule its turn passes
// on), so that it may end or be joined while others run.
void DetachThread();
// Blocks until `count` application threads (a caller inside a call counts)
// have taken part in the running system since it booted, those that left
// again included; false after the watchdog.
bool AwaitApplicationThreads(std::size_t count);
// The scheduling points a controlled schedule has passed (0 without one).
std::uint64_t SchedulingPoints();
// Points a taking-part thread reached without holding the turn (0 when the
// schedule alone decided who ran).
std::uint64_t StraySchedulingPoints();

// Host code that calls into a driver while it holds a lock of its own (an
// instrument delivering packets, the bus calling its instrument): under a
// controlled schedule the thread is not switched out inside, or a thread
// that waits for that lock would wait for a turn that never comes.
class NoPreemption {
public:
    NoPreemption();
    ~NoPreemption();
    NoPreemption(const NoPreemption&) = delete;
    NoPreemption& operator=(const NoPreemption&) = delete;
};

// The calling thread waits for something outside the emulated system (another
// application thread to end, a terminal): meanwhile it does not hold the
// auto-advancing clock back, and under a controlled schedule its turn passes
// on until the wait ends.
class OutsideWait {
public:
    OutsideWait();
    ~OutsideWait();
    OutsideWait(const OutsideWait&) = delete;
    OutsideWait& operator=(const OutsideWait&) = delete;

private:
    bool blocked_ = false;
};

// A named emulated thread that runs posted jobs in order at PASSIVE_LEVEL.
class SystemThread {
public:
    explicit SystemThread(std::string name);
    ~SystemThread();  // runs what is queued, then stops
    SystemThread(const SystemThread&) = delete;
    SystemThread& operator=(const SystemThread&) = delete;

    void Post(std::function<void()> job);
    // Blocks until every job posted so far has run.
    void Drain();
    bool IsCurrent() const;

private:
    void Run();

    std::string name_;
    std::condition_variable wake_;  // its own: a post wakes this thread only
    std::deque<std::function<void()>> jobs_;
    std::size_t posted_ = 0;
    std::size_t finished_ = 0;
    bool stopping_ = false;
    // The thread has waited for a job once (under the dispatcher's mutex);
    // the constructor waits for that.
    bool waitedForJobs_ = false;
    std::condition_variable started_;
    // Waiting for a job (guarded by the dispatcher's mutex). Only then does a
    // post make the thread ready: one blocked in a wait inside its job stays
    // blocked, or the auto-advancing clock would wait for it for ever.
    bool idle_ = false;
    void* state_ = nullptr;  // the thread's scheduler record
    std::thread thread_;
};

// Blocks the calling (test) thread until `condition` holds. The condition is
// re-evaluated whenever something in the emulated system changes. Fails the
// verifier's watchdog, naming `what`, if it does not come true in time.
bool WaitUntil(const std::function<bool()>& condition, const std::string& what);
// The same wait, giving up at the watchdog without reporting anything: for
// waits a host makes on an application's behalf, whose end may never come
// through no fault of a driver (a removal held back by a handle the
// application keeps open).
// Whether the self-advancing clock may move while the caller waits: a caller
// that waits for a timed wait to begin before it acts on it holds the clock,
// or the wait it waits for could pass before it sees it.
enum class ClockWhileWaiting { Moves, Held };
bool WaitUntilOrWatchdog(const std::function<bool()>& condition, ClockWhileWaiting clock = ClockWhileWaiting::Moves);
// Wakes WaitUntil callers so that they look again (called by the emulation
// whenever its state changes; hosts may call it too).
void NotifyStateChanged();

}  // namespace emu
