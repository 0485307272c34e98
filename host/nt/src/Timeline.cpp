// Emulated time and its deadlines.
#include "Timeline.h"

namespace emu::detail {

Timeline::Key Timeline::AddWait(Time when, Waiter* waiter)
{
    Key key{when, nextId_++};
    deadlines_.emplace(key, Deadline{waiter, {}});
    ++timedWaiters_;
    return key;
}

void Timeline::RemoveWait(const Key& key)
{
    if (deadlines_.erase(key) > 0) --timedWaiters_;
}

Clock::TimerId Timeline::AddTimer(Time when, std::function<void()> callback)
{
    Key key{when, nextId_++};
    deadlines_.emplace(key, Deadline{nullptr, std::move(callback)});
    timers_.emplace(key.second, key);
    return key.second;
}

bool Timeline::CancelTimer(Clock::TimerId id)
{
    auto it = timers_.find(id);
    if (it == timers_.end()) return false;
    bool erased = deadlines_.erase(it->second) > 0;
    timers_.erase(it);
    return erased;
}

std::optional<Time> Timeline::Next() const
{
    if (deadlines_.empty()) return std::nullopt;
    return deadlines_.begin()->first.first;
}

std::optional<Timeline::Deadline> Timeline::TakeDue(Time when)
{
    auto first = deadlines_.begin();
    if (first == deadlines_.end() || first->first.first > when) return std::nullopt;
    MoveTo(first->first.first);
    Deadline due = std::move(first->second);
    if (due.waiter) {
        --timedWaiters_;
    } else {
        timers_.erase(first->first.second);
    }
    deadlines_.erase(first);
    return due;
}

}  // namespace emu::detail
