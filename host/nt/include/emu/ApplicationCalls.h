// Admission of an application's calls into the emulated system. Each entry
// point of the Win32 API holds an ApplicationCall for its whole length. A
// call is admitted while a system runs and has not begun to shut down;
// otherwise it is refused, and the entry point fails as the platform fails a
// call on a handle that is no longer valid.
//
// The system's shutdown (System::CloseToApplications) stops admitting calls,
// cancels the requests that calls in progress have in flight, as the
// platform does for a process that exits, and waits until those calls have
// returned: a call never runs into a system that is being torn down, and a
// call made after the system has gone fails instead of finding no kernel.
//
// Thread-safe; any application thread at PASSIVE_LEVEL. Calls nest (an entry
// point may use another).
#pragma once

#include <optional>

#include "emu/Threads.h"

namespace emu {

class ApplicationCall {
public:
    ApplicationCall();
    ~ApplicationCall();
    ApplicationCall(const ApplicationCall&) = delete;
    ApplicationCall& operator=(const ApplicationCall&) = delete;

    bool admitted() const { return scope_.has_value(); }

private:
    std::optional<ApiScope> scope_;  // the thread counts as runnable while admitted
};

}  // namespace emu
