// One input's emulated system with the driver loaded: built fresh for every
// input, so that nothing one input did is there for the next.
//
// What counts as a finding, besides the sanitizers' reports: any verifier
// finding (the driver's misuse of the platform, a wait past the watchdog,
// pool, IRPs or handles left behind at the unload) ends the process at once
// with the finding's description, so the engine keeps the input.
//
// Threads: built and destroyed on the input's thread.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "LoadedDriver.h"
#include "emu/System.h"

namespace tesmo::fuzz {

// Emulated waits longer than this in wall time are hangs. The engine's own
// -timeout is the backstop for a loop that never waits.
constexpr std::chrono::milliseconds kWatchdog{5000};

class FuzzSystem {
public:
    FuzzSystem();
    // Unloads the driver and shuts the system down; a finding aborts.
    ~FuzzSystem();
    FuzzSystem(const FuzzSystem&) = delete;
    FuzzSystem& operator=(const FuzzSystem&) = delete;

    emu::System& system() { return *system_; }
    test::LoadedDriver& driver() { return *driver_; }

private:
    std::unique_ptr<emu::System> system_;
    std::optional<test::LoadedDriver> driver_;
};

// For a fuzz target's own oracle: prints what went wrong and aborts.
[[noreturn]] void Finding(const char* what);

// With TESMO_FUZZ_VERBOSE=1 the targets say what an input does, one line a
// step, so that a finding's input can be read.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tesmo::fuzz
