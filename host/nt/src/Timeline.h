// Emulated time and what waits for it: the deadlines of timed waits and of
// timers, in the order they come due (equal times in the order they were
// set). Private to the emulation.
//
// Locking: changed and read only under the dispatcher's mutex. The
// dispatcher moves it (Clock.cpp); waits and timers add their deadlines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <utility>

#include "emu/Clock.h"

namespace emu::detail {

struct Waiter;

class Timeline {
public:
    // A deadline's place: its time, then the order in which it was set.
    using Key = std::pair<Time, std::uint64_t>;

    // What comes due: a timed wait, or a timer callback.
    struct Deadline {
        Waiter* waiter = nullptr;
        std::function<void()> timer;
    };

    Time now() const { return now_; }
    // Time moves forward only.
    void MoveTo(Time when)
    {
        if (when > now_) now_ = when;
    }

    Key AddWait(Time when, Waiter* waiter);
    void RemoveWait(const Key& key);
    std::size_t timedWaiters() const { return timedWaiters_; }

    Clock::TimerId AddTimer(Time when, std::function<void()> callback);
    bool CancelTimer(Clock::TimerId id);

    std::optional<Time> Next() const;
    bool empty() const { return deadlines_.empty(); }
    // Takes the earliest deadline at or before `when` off the line and moves
    // the time to it; nullopt when none is due by then.
    std::optional<Deadline> TakeDue(Time when);

private:
    Time now_ = 0;
    std::uint64_t nextId_ = 1;
    std::map<Key, Deadline> deadlines_;
    std::size_t timedWaiters_ = 0;
    std::map<Clock::TimerId, Key> timers_;
};

}  // namespace emu::detail
