#include "TraceParking.h"

#include <condition_variable>
#include <mutex>

#include "emu/Threads.h"

namespace tesmo::test {

struct TraceParking::State {
    std::string line;
    std::mutex mutex;
    std::condition_variable released;
    bool parked = false;
    bool go = false;
};

TraceParking::TraceParking(emu::System& system, std::string line, std::string onlyThread)
    : system_(system), state_(std::make_shared<State>())
{
    state_->line = std::move(line);
    system_.SetTraceSink([state = state_, onlyThread](std::uint32_t, std::uint32_t, std::string_view text) {
        if (text.find(state->line) == std::string_view::npos) return;
        if (!onlyThread.empty() && emu::ThreadName() != onlyThread) return;
        std::unique_lock lock(state->mutex);
        state->parked = true;
        emu::NotifyStateChanged();
        state->released.wait(lock, [&] { return state->go; });
    });
}

TraceParking::~TraceParking()
{
    Release();
    system_.ClearTraceSink();
}

void TraceParking::WaitParked()
{
    emu::WaitUntil(
        [this] {
            std::lock_guard lock(state_->mutex);
            return state_->parked;
        },
        "the driver to reach: " + state_->line);
}

void TraceParking::Release()
{
    std::lock_guard lock(state_->mutex);
    state_->go = true;
    state_->released.notify_all();
}

}  // namespace tesmo::test
