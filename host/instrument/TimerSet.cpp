#include "instrument/TimerSet.h"

#include <algorithm>

#include "emu/Threads.h"

namespace emu::usb {

// Shared with every scheduled callback, so that a callback the clock fires
// after the set is gone still finds it and sees that it was cancelled.
struct TimerSet::State {
    std::mutex mutex;
    std::condition_variable idle;
    emu::Clock* clock = nullptr;
    bool open = false;
    std::uint64_t nextToken = 1;
    // Scheduled and not yet fired or cancelled: token -> clock timer id (0
    // while the clock has not yet returned the id).
    std::map<std::uint64_t, emu::Clock::TimerId> pending;
    std::vector<std::thread::id> running;
    std::size_t closersWaiting = 0;
};

TimerSet::TimerSet() : state_(std::make_shared<State>()) {}

TimerSet::~TimerSet() { Close(); }

void TimerSet::Open(emu::Clock& clock)
{
    std::lock_guard lock(state_->mutex);
    state_->clock = &clock;
    state_->open = true;
}

bool TimerSet::IsOpen() const
{
    std::lock_guard lock(state_->mutex);
    return state_->open;
}

bool TimerSet::At(emu::Time deadline, std::function<void()> callback)
{
    std::uint64_t token;
    emu::Clock* clock;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->open) return false;
        token = state_->nextToken++;
        state_->pending.emplace(token, 0);
        clock = state_->clock;
    }
    auto id = clock->At(deadline, [state = state_, token, callback = std::move(callback)] {
        Fire(state, token, callback);
    });
    bool cancelledMeanwhile;
    {
        std::lock_guard lock(state_->mutex);
        auto it = state_->pending.find(token);
        cancelledMeanwhile = it == state_->pending.end();
        if (!cancelledMeanwhile) it->second = id;
    }
    // A cancel that came between scheduling and recording the id could not
    // take the timer off the clock; take it off now (a no-op if it fired).
    if (cancelledMeanwhile) clock->Cancel(id);
    return true;
}

bool TimerSet::After(emu::Time delay, std::function<void()> callback)
{
    emu::Clock* clock;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->open) return false;
        clock = state_->clock;
    }
    return At(clock->Now() + delay, std::move(callback));
}

void TimerSet::Fire(const std::shared_ptr<State>& state, std::uint64_t token, const std::function<void()>& callback)
{
    auto self = std::this_thread::get_id();
    {
        std::lock_guard lock(state->mutex);
        if (state->pending.erase(token) == 0) return;  // cancelled
        state->running.push_back(self);
    }
    callback();
    {
        std::lock_guard lock(state->mutex);
        state->running.erase(std::find(state->running.begin(), state->running.end(), self));
    }
    state->idle.notify_all();
}

void TimerSet::Cancel() { CancelPending(false); }

void TimerSet::Close()
{
    CancelPending(true);
    auto self = std::this_thread::get_id();
    std::unique_lock lock(state_->mutex);
    auto othersRunning = [&] {
        return std::any_of(state_->running.begin(), state_->running.end(), [&](auto id) { return id != self; });
    };
    if (othersRunning()) {
        ++state_->closersWaiting;
        emu::NotifyStateChanged();
        state_->idle.wait(lock, [&] { return !othersRunning(); });
        --state_->closersWaiting;
    }
}

void TimerSet::CancelPending(bool close)
{
    std::vector<emu::Clock::TimerId> ids;
    emu::Clock* clock;
    {
        std::lock_guard lock(state_->mutex);
        if (close) state_->open = false;
        for (auto [token, id] : state_->pending)
            if (id != 0) ids.push_back(id);
        state_->pending.clear();
        clock = state_->clock;
    }
    for (auto id : ids) clock->Cancel(id);
}

std::size_t TimerSet::Pending() const
{
    std::lock_guard lock(state_->mutex);
    return state_->pending.size();
}

std::size_t TimerSet::ClosersWaiting() const
{
    std::lock_guard lock(state_->mutex);
    return state_->closersWaiting;
}

}  // namespace emu::usb
