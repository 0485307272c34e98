// The emulated-clock timers of one instrument, so that unplugging can stop
// them all. Cancel takes what is pending off the clock; a timer that the clock
// fires anyway (it was taken off just before the cancel) finds itself
// cancelled and does nothing. Close cancels too, refuses new timers, and waits
// for a callback already running on another thread, so that once it returns
// no callback runs and none ever will: the instrument may then be destroyed.
//
// Thread-safe. Callbacks run on the thread that advances the clock, at
// PASSIVE_LEVEL, with no lock of this set held; they may schedule further
// timers and call Cancel or Close (a Close from a callback does not wait for
// that callback). Cancel and At may be called under the instrument's lock;
// the caller of Close must hold nothing that a running callback needs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "emu/Clock.h"

namespace emu::usb {

class TimerSet {
public:
    TimerSet();
    ~TimerSet();  // closes
    TimerSet(const TimerSet&) = delete;
    TimerSet& operator=(const TimerSet&) = delete;

    // Accepts timers on `clock` from now on.
    void Open(emu::Clock& clock);
    // Cancels every pending timer; stays open. Does not wait.
    void Cancel();
    // Cancels, refuses new timers until the next Open, and waits for running
    // callbacks on other threads. Idempotent.
    void Close();
    bool IsOpen() const;

    // Schedules `callback` at an absolute emulated time; false when closed.
    bool At(emu::Time deadline, std::function<void()> callback);
    bool After(emu::Time delay, std::function<void()> callback);

    std::size_t Pending() const;
    // Closers currently waiting for a running callback (for race tests).
    std::size_t ClosersWaiting() const;

private:
    struct State;
    static void Fire(const std::shared_ptr<State>& state, std::uint64_t token, const std::function<void()>& callback);
    // Takes the pending timers off the clock; with `close`, refuses new ones.
    void CancelPending(bool close);

    std::shared_ptr<State> state_;
};

}  // namespace emu::usb
