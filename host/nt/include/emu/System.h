// One emulated Windows system: the kernel (dispatcher, clock, pool, I/O
// manager), the verifier and fault plan, the trace sink, and the drivers loaded
// into it. Tests create one per test; it is the only place global kernel state
// lives, and at most one exists at a time.
//
// Construction and destruction happen on the test's thread; everything else is
// thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "emu/Clock.h"
#include "emu/FaultPlan.h"
#include "emu/Pnp.h"
#include "emu/Pool.h"
#include "emu/Power.h"
#include "emu/Trace.h"
#include "emu/Verifier.h"

struct _DRIVER_OBJECT;
struct _DEVICE_OBJECT;
struct _UNICODE_STRING;

namespace emu {

namespace detail {
class Kernel;
}

// Runs the emulated threads one at a time, switching at kernel call
// boundaries by a seeded choice (see the dispatcher's controlled schedule).
struct ControlledScheduleOptions {
    // The change points are drawn one by one at boot: a depth without a
    // bound would take time and memory without end, so a deeper one is
    // taken as this (and 0 as 1). The control API refuses both instead.
    static constexpr unsigned kMaxDepth = 64;

    std::uint64_t seed = 0;
    unsigned depth = 3;                   // change points + 1: 1..kMaxDepth
    std::uint64_t expectedPoints = 6000;  // where the change points may fall
};

struct SystemOptions {
    // Handler for verifier violations; none means print and abort.
    Verifier::Handler violationHandler;
    // Wall time after which a blocked wait is reported as a hang.
    std::chrono::milliseconds watchdog{std::chrono::seconds(60)};
    bool autoAdvanceClock = false;  // ClockMode::SelfAdvancing
    bool wallClock = false;         // ClockMode::WallClock (takes precedence)
    std::optional<ControlledScheduleOptions> controlledSchedule;
};

// A driver's initialisation routine, in the platform's calling convention.
using DriverInitialize = std::int32_t(__attribute__((ms_abi)) *)(_DRIVER_OBJECT*, _UNICODE_STRING*);

class System {
public:
    explicit System(SystemOptions options = {});
    ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    // Unloads every driver and reports what is left behind (pool blocks, IRPs)
    // as violations. Idempotent; the destructor calls it. Begins with
    // CloseToApplications.
    void Shutdown();

    // Ends a controlled schedule (the teardown runs freely), stops admitting
    // application calls (emu/ApplicationCalls.h), cancels
    // the requests in flight of the calls in progress and waits until they
    // have returned. A host that tears the system down itself (closes
    // leftover handles, removes devices) calls it first; calling it again
    // waits again. Without `patience` it waits for as long as it takes (a
    // call not back within the watchdog is reported); with it, it gives up
    // after that long and returns false, and the system must then be left
    // as it is (a process that exits leaves it to its end).
    bool CloseToApplications(std::optional<std::chrono::milliseconds> patience = std::nullopt);

    // The system that kernel calls act on; aborts when none exists.
    static System& Current();
    static bool Exists();

    Clock& clock();
    Pool& pool();
    Verifier& verifier();
    FaultPlan& faults();
    PowerManager& power();
    PnpManager& pnp();
    detail::Kernel& kernel();
    const SystemOptions& options() const { return options_; }

    // Replaces the trace sink. Returns once no call of the previous sink is
    // running on another thread, so its owner may go away right after.
    void SetTraceSink(TraceSink sink);
    void ClearTraceSink();

    // Writes the timeline of what happens from now on to `path`
    // (emu/EventTimeline.h), in place of a timeline started before; false
    // when the file cannot be written. The file is completed when the
    // system goes.
    bool StartTimeline(const std::string& path);

    // Loads a driver image (a shared object exporting DriverEntry) as the
    // service `serviceName`, runs DriverEntry and returns the driver object;
    // null if the image cannot be loaded or DriverEntry fails.
    _DRIVER_OBJECT* LoadDriverImage(const std::string& path, const std::u16string& serviceName);
    // A driver linked into the host (the bus driver, test drivers).
    _DRIVER_OBJECT* CreateDriver(const std::u16string& serviceName, DriverInitialize initialize);
    // Calls DriverUnload and releases the driver object; its devices must be gone.
    void UnloadDriver(_DRIVER_OBJECT* driver);
    // The loaded image of a driver (a dlopen handle), for looking up its routines.
    void* DriverImage(_DRIVER_OBJECT* driver);

    // ---- for hosts that read a driver's records (the control library) ----
    // Runs `job` on the PnP manager's thread between two PnP sequences and
    // waits for it: no device is added or removed (no REMOVE frees a record)
    // while it runs. PASSIVE_LEVEL; must not be called from the PnP thread.
    void RunBetweenPnpSequences(const std::function<void()>& job);

private:
    SystemOptions options_;
    std::unique_ptr<detail::Kernel> kernel_;
    bool shutDown_ = false;
};

}  // namespace emu
