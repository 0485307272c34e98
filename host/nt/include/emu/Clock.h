// Emulated time. Every timed wait, timer, instrument and bus timing model in
// the emulation runs on this clock, never on the wall clock. Tests move it
// explicitly; a demo may let it jump to the next deadline whenever every
// emulated thread is blocked (auto-advance).
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

    // Whether the clock jumps to the next deadline by itself when no emulated
    // thread is runnable. Returns whether it did so before.
    bool SetAutoAdvance(bool enabled);

private:
    detail::Dispatcher& dispatcher_;
};

}  // namespace emu
