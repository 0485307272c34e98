// The system's side of admitting application calls (emu/ApplicationCalls.h).
// Private to the emulation.
#pragma once

#include <chrono>
#include <optional>

namespace emu::detail {

// A system has started: calls are admitted from now on.
void AdmitApplicationCalls();
// No call is admitted from now on; false when that was already so.
bool StopAdmittingApplicationCalls();
// Whether an admitted call has not returned yet.
bool ApplicationCallsInProgress();
// Blocks until no admitted call is in progress. Without `patience`, a call
// that does not return within the watchdog is reported (Rule::WaitWatchdog)
// and the wait goes on, since tearing the system down under the call would
// be worse; with it, the wait gives up quietly after that long (false).
bool WaitForApplicationCallsToReturn(std::optional<std::chrono::milliseconds> patience);

}  // namespace emu::detail
