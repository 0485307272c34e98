// Emulated time. Every timed wait, timer, instrument and bus timing model in
// the emulation runs on this clock. It moves in one of three ways (ClockMode):
// only when somebody moves it (tests); by itself, jumping to the next deadline
// whenever every emulated thread is blocked (demos, the explorer); or with
// the wall clock, a deadline coming due when as much wall time has passed
// (scripts whose threads run code of their own between calls).
//
// Thread-safe. Timer callbacks run on the thread that advances the clock,
// without any emulation lock held, at PASSIVE_LEVEL.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace emu {

namespace detail {
class Dispatcher;
}

using Time = std::int64_t;  // 100-ns units of emulated interrupt time
constexpr Time kMicrosecond = 10;
constexpr Time kMillisecond = 10'000;
constexpr Time kSecond = 10'000'000;

enum class ClockMode {
    Manual,         // moves only when AdvanceBy/AdvanceTo/AdvanceToNextDeadline is called
    SelfAdvancing,  // also jumps to the next deadline when no emulated thread is runnable
    WallClock,      // follows the wall clock from the moment it was chosen (and moves by hand too)
};

class Clock {
public:
    explicit Clock(detail::Dispatcher& dispatcher) : dispatcher_(dispatcher) {}

    Time Now() const;
    // Moves time forward, firing timers and timing out waits in deadline order.
    void AdvanceBy(Time delta);
    void AdvanceTo(Time when);
    // Moves time to the earliest pending deadline; false when there is none.
    bool AdvanceToNextDeadline();
    std::optional<Time> NextDeadline() const;

    using TimerId = std::uint64_t;
    TimerId At(Time deadline, std::function<void()> callback);
    TimerId After(Time delay, std::function<void()> callback);
    // Like At, but only for a deadline still ahead: a deadline the clock has
    // already reached (it may move on any thread) gives nullopt, and the
    // caller acts at once instead of waiting for the clock's next move.
    std::optional<TimerId> AtIfAhead(Time deadline, std::function<void()> callback);
    bool Cancel(TimerId id);

    // Threads blocked in a wait that has a deadline.
    std::size_t TimedWaiters() const;

    // Returns the mode before.
    ClockMode SetMode(ClockMode mode);
    ClockMode mode() const;
    // SetMode(SelfAdvancing) or SetMode(Manual); returns whether the clock
    // was self-advancing before.
    bool SetAutoAdvance(bool enabled);

private:
    detail::Dispatcher& dispatcher_;
};

}  // namespace emu
