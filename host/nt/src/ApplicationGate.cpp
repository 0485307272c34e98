// Which application calls are inside the system, and the gate that admits
// them while a system runs.
#include "ApplicationGate.h"

#include <condition_variable>
#include <mutex>

#include "Kernel.h"
#include "emu/ApplicationCalls.h"

namespace emu::detail {

namespace {

struct Gate {
    std::mutex mutex;
    std::condition_variable returned;
    bool open = false;
    int inside = 0;  // admitted calls in progress
};

// Never destroyed: application threads may still knock at it while the
// process exits.
Gate& TheGate()
{
    static Gate* gate = new Gate;
    return *gate;
}

}  // namespace

void AdmitApplicationCalls()
{
    Gate& gate = TheGate();
    std::lock_guard lock(gate.mutex);
    gate.open = true;
}

bool StopAdmittingApplicationCalls()
{
    Gate& gate = TheGate();
    std::lock_guard lock(gate.mutex);
    bool wasOpen = gate.open;
    gate.open = false;
    return wasOpen;
}

bool ApplicationCallsInProgress()
{
    Gate& gate = TheGate();
    std::lock_guard lock(gate.mutex);
    return gate.inside != 0;
}

bool WaitForApplicationCallsToReturn(std::optional<std::chrono::milliseconds> patience)
{
    Gate& gate = TheGate();
    if (patience) {
        std::unique_lock lock(gate.mutex);
        return gate.returned.wait_for(lock, *patience, [&] { return gate.inside == 0; });
    }
    if (WaitUntil([] { return !ApplicationCallsInProgress(); }, "the application's calls in progress to return")) {
        return true;
    }
    std::unique_lock lock(gate.mutex);
    gate.returned.wait(lock, [&] { return gate.inside == 0; });
    return true;
}

}  // namespace emu::detail

namespace emu {

ApplicationCall::ApplicationCall()
{
    detail::Gate& gate = detail::TheGate();
    {
        std::lock_guard lock(gate.mutex);
        if (!gate.open) return;
        ++gate.inside;
    }
    scope_.emplace();
}

ApplicationCall::~ApplicationCall()
{
    if (!scope_) return;
    scope_.reset();
    detail::Gate& gate = detail::TheGate();
    {
        std::lock_guard lock(gate.mutex);
        --gate.inside;
    }
    gate.returned.notify_all();
    NotifyStateChanged();
}

}  // namespace emu
