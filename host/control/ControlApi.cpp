// The exported C functions of the control API (tesmo/control.h): argument
// checks, the locks that keep a session alive under its calls, and the
// library-wide state that outlives a session (the trace sink, the last
// session's report).
//
// No call holds a lock while it waits on the emulated system. A call pins
// the running session (a count under the state lock, held only to take the
// pin) and lets go of the lock before it runs, so that a control call that
// waits on the driver (a sleep waiting for USB to go quiet, a plug-in
// waiting for START) never holds back the clock, a Win32 call or another
// control call that the driver's progress depends on. Boot and shutdown
// are one at a time (the life-cycle lock); a shutdown stops new calls and
// waits for the pinned ones to return before it tears the session down.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string>

#include "Session.h"
#include "emu/Races.h"
#include "emu/Threads.h"
#include "tesmo/control.h"

using namespace tesmo::control;

namespace {

struct TraceSinkSetting {
    tesmo_trace_callback callback = nullptr;
    void* context = nullptr;
};

struct Library {
    std::mutex lifeCycle;  // boot, shutdown and the trace sink, one at a time
    std::mutex mutex;      // the fields below; held only to read or change them
    std::condition_variable unpinned;
    std::unique_ptr<Session> session;
    bool closing = false;                     // a shutdown has begun: no new pins
    int pins = 0;                             // calls running on the session
    std::vector<ViolationRecord> lastReport;  // of the last session, after its shutdown
    TraceSinkSetting trace;
    bool exitHandlerRegistered = false;
};

// Never destroyed: a session may still run while the process exits.
Library& Lib()
{
    static Library* library = new Library;
    return *library;
}

#ifndef TESMO_DRIVER_PATH
#error "TESMO_DRIVER_PATH must name the driver image"
#endif

std::string DriverImage(const tesmo_boot_options& options)
{
    if (options.driver_image) return options.driver_image;
    if (const char* fromEnvironment = std::getenv("TESMO_DRIVER_IMAGE")) return fromEnvironment;
    return TESMO_DRIVER_PATH;
}

// The fields control.h gives a range; auto_advance_clock,
// controlled_schedule and schedule_seed take any value, but a controlled
// schedule moves the clock itself and cannot follow the wall clock.
bool InRange(const tesmo_boot_options& options)
{
    return options.verifier_mode >= TESMO_VERIFIER_ABORT && options.verifier_mode <= TESMO_VERIFIER_RECORD_QUIET &&
           options.watchdog_ms >= TESMO_MIN_WATCHDOG_MS && options.watchdog_ms <= TESMO_MAX_WATCHDOG_MS &&
           options.schedule_depth <= TESMO_MAX_SCHEDULE_DEPTH &&
           !(options.auto_advance_clock == TESMO_CLOCK_WALL && options.controlled_schedule);
}

emu::ClockMode ClockModeOf(std::int32_t value)
{
    switch (value) {
    case TESMO_CLOCK_MANUAL: return emu::ClockMode::Manual;
    case TESMO_CLOCK_WALL: return emu::ClockMode::WallClock;
    default: return emu::ClockMode::SelfAdvancing;  // any other non-zero value, as callers have always passed
    }
}
static_assert(TESMO_MAX_SCHEDULE_DEPTH == emu::ControlledScheduleOptions::kMaxDepth,
              "the control API refuses what the emulation would cut down");

// The system's sink for the application's callback; none without a callback.
emu::TraceSink SinkFor(const TraceSinkSetting& sink)
{
    if (!sink.callback) return nullptr;
    return [sink](std::uint32_t level, std::uint32_t component, std::string_view text) {
        std::string terminated(text);
        sink.callback(sink.context, level, component, terminated.c_str());
    };
}

void ApplyTraceSink(Library& lib)
{
    if (!lib.session) return;
    if (emu::TraceSink sink = SinkFor(lib.trace)) {
        lib.session->system().SetTraceSink(std::move(sink));
    } else {
        lib.session->system().ClearTraceSink();
    }
}

// A call's hold on the running session: the session stays until the last
// pin goes. Empty (false) without a session or once its shutdown began.
class SessionPin {
public:
    SessionPin()
    {
        Library& lib = Lib();
        std::lock_guard lock(lib.mutex);
        if (!lib.session || lib.closing) return;
        ++lib.pins;
        session_ = lib.session.get();
    }
    ~SessionPin()
    {
        if (!session_) return;
        Library& lib = Lib();
        std::lock_guard lock(lib.mutex);
        if (--lib.pins == 0) lib.unpinned.notify_all();
    }
    SessionPin(const SessionPin&) = delete;
    SessionPin& operator=(const SessionPin&) = delete;

    explicit operator bool() const { return session_ != nullptr; }
    Session& operator*() const { return *session_; }

private:
    Session* session_ = nullptr;
};

// Stops new calls and waits until those running have returned; false when
// `patience` ran out first (the session is then open to calls again). The
// caller holds the life-cycle lock. The wait is outside the system: the
// self-advancing clock moves on meanwhile, so that the calls waited for
// can finish.
bool CloseToCalls(Library& lib, std::optional<std::chrono::milliseconds> patience = std::nullopt)
{
    emu::OutsideWait outside;
    std::unique_lock lock(lib.mutex);
    lib.closing = true;
    auto drained = [&] { return lib.pins == 0; };
    if (!patience) {
        lib.unpinned.wait(lock, drained);
        return true;
    }
    if (lib.unpinned.wait_for(lock, *patience, drained)) return true;
    lib.closing = false;
    return false;
}

// Takes the session out of the library once no call runs on it.
std::unique_ptr<Session> TakeSession(Library& lib)
{
    std::lock_guard lock(lib.mutex);
    lib.closing = false;
    return std::move(lib.session);
}

bool SessionRuns(Library& lib)
{
    std::lock_guard lock(lib.mutex);
    return lib.session != nullptr;
}

// A session still running at exit is shut down, with the trace sink gone
// (a script's callback may no longer be callable) and violations printed,
// not fatal. A Win32 call that has not returned shortly after its requests
// were cancelled waits on something only the application could end (its own
// event): the system is then left running to the end of the process, as
// tearing it down under the call would crash and waiting would hang.
void ShutDownAtExit()
{
    constexpr std::chrono::seconds kPatience{2};
    Library& lib = Lib();
    std::lock_guard lifeCycle(lib.lifeCycle);
    if (!SessionRuns(lib)) return;
    std::fprintf(stderr, "tesmo: the process exits with the emulated system running; shutting it down\n");
    if (!CloseToCalls(lib, kPatience)) {
        std::fprintf(stderr,
                     "tesmo: control calls still wait on other threads; the emulated system is left to the "
                     "end of the process\n");
        return;
    }
    emu::System& system = lib.session->system();
    system.ClearTraceSink();
    system.verifier().SetHandler(
        [](const emu::Violation& v) { std::fprintf(stderr, "%s\n", emu::Describe(v).c_str()); });
    if (!system.CloseToApplications(kPatience)) {
        std::fprintf(stderr,
                     "tesmo: Win32 calls still wait on other threads; the emulated system is left to the "
                     "end of the process\n");
        return;
    }
    std::unique_ptr<Session> session = TakeSession(lib);
    session->Shutdown();
}

tesmo_result CopyText(const std::string& text, char* buffer, std::uint32_t size, std::uint32_t* length)
{
    if (length) *length = static_cast<std::uint32_t>(text.size());
    if (!buffer || size < text.size() + 1) return TESMO_E_BUFFER_TOO_SMALL;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return TESMO_OK;
}

// Runs `call` on the running session, pinned for the call's length.
template <typename Call>
tesmo_result WithSession(Call call)
{
    SessionPin session;
    if (!session) return TESMO_E_NOT_BOOTED;
    return call(*session);
}

// Runs `call` on the violations of the running session, or the last one's.
template <typename Call>
tesmo_result WithViolations(Call call)
{
    {
        SessionPin session;
        if (session) return call((*session).Violations());
    }
    Library& lib = Lib();
    std::vector<ViolationRecord> last;
    {
        std::lock_guard lock(lib.mutex);
        last = lib.lastReport;
    }
    return call(last);
}

}  // namespace

extern "C" {

const char* tesmo_result_text(tesmo_result result)
{
    switch (result) {
    case TESMO_OK: return "TESMO_OK";
    case TESMO_E_INVALID_ARGUMENT: return "TESMO_E_INVALID_ARGUMENT";
    case TESMO_E_NOT_BOOTED: return "TESMO_E_NOT_BOOTED";
    case TESMO_E_ALREADY_BOOTED: return "TESMO_E_ALREADY_BOOTED";
    case TESMO_E_DRIVER_LOAD: return "TESMO_E_DRIVER_LOAD";
    case TESMO_E_NO_SUCH_DEVICE: return "TESMO_E_NO_SUCH_DEVICE";
    case TESMO_E_DEVICE_GONE: return "TESMO_E_DEVICE_GONE";
    case TESMO_E_BUFFER_TOO_SMALL: return "TESMO_E_BUFFER_TOO_SMALL";
    case TESMO_E_REFUSED: return "TESMO_E_REFUSED";
    case TESMO_E_OUT_OF_RANGE: return "TESMO_E_OUT_OF_RANGE";
    case TESMO_E_INVALID_STATE: return "TESMO_E_INVALID_STATE";
    case TESMO_E_TIMEOUT: return "TESMO_E_TIMEOUT";
    default: return "unknown result";
    }
}

// ---- sessions ----

tesmo_result tesmo_boot_options_init(tesmo_boot_options* options)
{
    if (!options) return TESMO_E_INVALID_ARGUMENT;
    *options = tesmo_boot_options{};
    options->struct_size = sizeof(tesmo_boot_options);
    options->auto_advance_clock = TESMO_CLOCK_SELF_ADVANCING;
    options->verifier_mode = TESMO_VERIFIER_ABORT;
    options->watchdog_ms = 60000;
    return TESMO_OK;
}

tesmo_result tesmo_boot(const tesmo_boot_options* given)
{
    tesmo_boot_options options;
    tesmo_boot_options_init(&options);
    if (given) {
        // Callers built before the schedule fields pass the shorter size.
        constexpr std::size_t kBeforeSchedule = offsetof(tesmo_boot_options, controlled_schedule);
        if (given->struct_size != sizeof(tesmo_boot_options) && given->struct_size != kBeforeSchedule) {
            return TESMO_E_INVALID_ARGUMENT;
        }
        std::memcpy(&options, given, given->struct_size);
        if (options.watchdog_ms == 0) options.watchdog_ms = 60000;
        if (!InRange(options)) return TESMO_E_INVALID_ARGUMENT;
    }
    Library& lib = Lib();
    std::lock_guard lifeCycle(lib.lifeCycle);
    if (SessionRuns(lib) || emu::System::Exists()) return TESMO_E_ALREADY_BOOTED;
    SessionOptions sessionOptions;
    sessionOptions.clock = ClockModeOf(options.auto_advance_clock);
    sessionOptions.verifierMode = options.verifier_mode;
    sessionOptions.watchdog = std::chrono::milliseconds(options.watchdog_ms);
    sessionOptions.driverImage = DriverImage(options);
    if (options.controlled_schedule) {
        emu::ControlledScheduleOptions schedule;
        schedule.seed = options.schedule_seed;
        if (options.schedule_depth) schedule.depth = options.schedule_depth;
        sessionOptions.controlledSchedule = schedule;
    }
    tesmo_result result = TESMO_OK;
    std::unique_ptr<Session> session = Session::Boot(sessionOptions, SinkFor(lib.trace), &result);
    if (!session) return result;
    {
        std::lock_guard lock(lib.mutex);
        lib.lastReport.clear();
        lib.session = std::move(session);
    }
    if (!lib.exitHandlerRegistered) {
        std::atexit(ShutDownAtExit);
        lib.exitHandlerRegistered = true;
    }
    return TESMO_OK;
}

tesmo_result tesmo_shutdown(uint32_t* violation_count)
{
    Library& lib = Lib();
    std::lock_guard lifeCycle(lib.lifeCycle);
    if (!SessionRuns(lib)) return TESMO_E_NOT_BOOTED;
    CloseToCalls(lib);
    std::unique_ptr<Session> session = TakeSession(lib);
    std::vector<ViolationRecord> report = session->Shutdown();
    session.reset();
    if (violation_count) *violation_count = static_cast<uint32_t>(report.size());
    std::lock_guard lock(lib.mutex);
    lib.lastReport = std::move(report);
    return TESMO_OK;
}

tesmo_result tesmo_is_booted(int32_t* booted)
{
    if (!booted) return TESMO_E_INVALID_ARGUMENT;
    *booted = SessionRuns(Lib()) ? 1 : 0;
    return TESMO_OK;
}

// ---- instruments and devices ----

tesmo_result tesmo_instrument_init(tesmo_instrument* instrument, int32_t kind)
{
    if (!instrument) return TESMO_E_INVALID_ARGUMENT;
    return InitInstrumentSpec(*instrument, kind) ? TESMO_OK : TESMO_E_INVALID_ARGUMENT;
}

tesmo_result tesmo_plug(const tesmo_instrument* instrument, int32_t* device, int32_t* ntstatus)
{
    if (!instrument || !device) return TESMO_E_INVALID_ARGUMENT;
    InstrumentBuild build = BuildInstrument(*instrument);
    if (!build.instrument) return TESMO_E_INVALID_ARGUMENT;
    return WithSession([&](Session& s) { return s.Plug(std::move(build), device, ntstatus); });
}

tesmo_result tesmo_unplug(int32_t device)
{
    return WithSession([&](Session& s) { return s.Unplug(device); });
}

tesmo_result tesmo_wait_removed(int32_t device)
{
    return WithSession([&](Session& s) { return s.WaitRemoved(device); });
}

tesmo_result tesmo_rebalance(int32_t device, int32_t* ntstatus)
{
    return WithSession([&](Session& s) { return s.Rebalance(device, ntstatus); });
}

tesmo_result tesmo_disable(int32_t device, int32_t* ntstatus)
{
    return WithSession([&](Session& s) { return s.Disable(device, ntstatus); });
}

tesmo_result tesmo_enable(int32_t device, int32_t* ntstatus)
{
    return WithSession([&](Session& s) { return s.Enable(device, ntstatus); });
}

tesmo_result tesmo_system_sleep(int32_t sleep_state, int32_t* ntstatus)
{
    if (sleep_state < 1 || sleep_state > 5) return TESMO_E_INVALID_ARGUMENT;
    return WithSession([&](Session& s) {
        emu::ApiScope inside;
        // S<n> is the system power state value n + 1 (S0 is 1).
        std::int32_t status = s.system().pnp().SystemSleep(sleep_state + 1);
        s.system().power().WaitIdle();
        return FromStatus(status, ntstatus);
    });
}

tesmo_result tesmo_system_wake(int32_t* ntstatus)
{
    return WithSession([&](Session& s) {
        emu::ApiScope inside;
        std::int32_t status = s.system().pnp().SystemWake();
        // The devices' D0 requests follow the system request: wait for them too.
        s.system().power().WaitIdle();
        return FromStatus(status, ntstatus);
    });
}

tesmo_result tesmo_device_state(int32_t device, uint32_t* state)
{
    if (!state) return TESMO_E_INVALID_ARGUMENT;
    return WithSession([&](Session& s) { return s.State(device, state); });
}

tesmo_result tesmo_port_name(int32_t device, char* buffer, uint32_t size, uint32_t* length)
{
    return WithSession([&](Session& s) {
        std::string name;
        tesmo_result result = s.PortName(device, &name);
        return result == TESMO_OK ? CopyText(name, buffer, size, length) : result;
    });
}

tesmo_result tesmo_event_log(int32_t device, void* buffer, uint32_t capacity, uint32_t* size, int32_t* log_index)
{
    if (!size || (capacity != 0 && !buffer)) return TESMO_E_INVALID_ARGUMENT;
    return WithSession([&](Session& s) {
        EventLogCopy copy;
        tesmo_result result = s.CopyEventLog(device, &copy);
        if (result != TESMO_OK) return result;
        *size = static_cast<uint32_t>(copy.bytes.size());
        if (log_index) *log_index = copy.logIndex;
        if (capacity < copy.bytes.size()) return TESMO_E_BUFFER_TOO_SMALL;
        std::memcpy(buffer, copy.bytes.data(), copy.bytes.size());
        return TESMO_OK;
    });
}

// ---- the USB capture ----

tesmo_result tesmo_usb_capture(const char* path)
{
    return WithSession([&](Session& s) { return s.Capture(path); });
}

// ---- the timeline ----

tesmo_result tesmo_timeline(const char* path)
{
    if (!path) return TESMO_E_INVALID_ARGUMENT;
    return WithSession(
        [&](Session& s) { return s.system().StartTimeline(path) ? TESMO_OK : TESMO_E_INVALID_ARGUMENT; });
}

// ---- tracing ----

tesmo_result tesmo_set_trace_sink(tesmo_trace_callback callback, void* context)
{
    Library& lib = Lib();
    std::lock_guard lifeCycle(lib.lifeCycle);
    lib.trace = TraceSinkSetting{callback, callback ? context : nullptr};
    ApplyTraceSink(lib);
    return TESMO_OK;
}

namespace {

tesmo_result SetDriverGlobal(const char* name, uint32_t value)
{
    return WithSession([&](Session& s) {
        std::uint32_t* global = s.DriverGlobal(name);
        if (!global) return TESMO_E_DRIVER_LOAD;
        __atomic_store_n(global, value, __ATOMIC_RELAXED);
        return TESMO_OK;
    });
}

}  // namespace

tesmo_result tesmo_set_debug_level(uint32_t level) { return SetDriverGlobal("DebugLevel", level); }
tesmo_result tesmo_set_debug_mask(uint32_t mask) { return SetDriverGlobal("DebugMask", mask); }

tesmo_result tesmo_get_debug_level(uint32_t* level)
{
    if (!level) return TESMO_E_INVALID_ARGUMENT;
    return WithSession([&](Session& s) {
        std::uint32_t* global = s.DriverGlobal("DebugLevel");
        if (!global) return TESMO_E_DRIVER_LOAD;
        *level = __atomic_load_n(global, __ATOMIC_RELAXED);
        return TESMO_OK;
    });
}

// ---- the verifier ----

tesmo_result tesmo_violation_count(uint32_t* count)
{
    if (!count) return TESMO_E_INVALID_ARGUMENT;
    return WithViolations([&](const std::vector<ViolationRecord>& violations) {
        *count = static_cast<uint32_t>(violations.size());
        return TESMO_OK;
    });
}

tesmo_result tesmo_violation_rule(uint32_t index, char* buffer, uint32_t size, uint32_t* length)
{
    return WithViolations([&](const std::vector<ViolationRecord>& violations) {
        if (index >= violations.size()) return TESMO_E_OUT_OF_RANGE;
        return CopyText(violations[index].rule, buffer, size, length);
    });
}

tesmo_result tesmo_violation_text(uint32_t index, char* buffer, uint32_t size, uint32_t* length)
{
    return WithViolations([&](const std::vector<ViolationRecord>& violations) {
        if (index >= violations.size()) return TESMO_E_OUT_OF_RANGE;
        return CopyText(violations[index].text, buffer, size, length);
    });
}

// ---- the emulated clock ----

tesmo_result tesmo_clock_now(int64_t* now)
{
    if (!now) return TESMO_E_INVALID_ARGUMENT;
    return WithSession([&](Session& s) {
        *now = s.system().clock().Now();
        return TESMO_OK;
    });
}

tesmo_result tesmo_clock_advance(int64_t delta)
{
    if (delta < 0) return TESMO_E_INVALID_ARGUMENT;
    return WithSession([&](Session& s) {
        emu::Clock& clock = s.system().clock();
        if (delta > std::numeric_limits<std::int64_t>::max() - clock.Now()) return TESMO_E_INVALID_ARGUMENT;
        emu::ApiScope inside;
        clock.AdvanceBy(delta);
        return TESMO_OK;
    });
}

tesmo_result tesmo_clock_advance_to_next_deadline(int32_t* advanced)
{
    return WithSession([&](Session& s) {
        emu::ApiScope inside;
        bool moved = s.system().clock().AdvanceToNextDeadline();
        if (advanced) *advanced = moved ? 1 : 0;
        return TESMO_OK;
    });
}

tesmo_result tesmo_clock_wait_for_timed_waiters(uint32_t count)
{
    return WithSession([&](Session& s) {
        emu::Clock& clock = s.system().clock();
        // The application may ask for more waiters than it ever starts.
        bool reached =
            emu::WaitUntilOrWatchdog([&] { return clock.TimedWaiters() >= count; }, emu::ClockWhileWaiting::Held);
        return reached ? TESMO_OK : TESMO_E_TIMEOUT;
    });
}

namespace {
std::optional<emu::FaultSite> FaultSiteOf(int32_t site)
{
    switch (site) {
    case TESMO_FAULT_POOL: return emu::FaultSite::Pool;
    case TESMO_FAULT_IRP: return emu::FaultSite::IrpBuild;
    case TESMO_FAULT_WORK_ITEM: return emu::FaultSite::WorkItem;
    default: return std::nullopt;
    }
}
}  // namespace

tesmo_result tesmo_fail_nth(int32_t site, uint64_t nth)
{
    auto which = FaultSiteOf(site);
    if (!which) return TESMO_E_INVALID_ARGUMENT;
    return WithSession([&](Session& s) {
        s.system().faults().FailNth(*which, nth);
        return TESMO_OK;
    });
}

tesmo_result tesmo_failure_injected(int32_t site, int32_t* injected)
{
    auto which = FaultSiteOf(site);
    if (!which || !injected) return TESMO_E_INVALID_ARGUMENT;
    return WithSession([&](Session& s) {
        *injected = s.system().faults().Hit(*which) ? 1 : 0;
        return TESMO_OK;
    });
}

// The thread calls take no library lock: a thread waiting for its turn must
// not hold what the running thread's control call needs.
tesmo_result tesmo_thread_attach(void)
{
    if (!emu::System::Exists()) return TESMO_E_NOT_BOOTED;
    emu::ApiScope inside;
    return TESMO_OK;
}

tesmo_result tesmo_thread_detach(void)
{
    emu::DetachThread();
    return TESMO_OK;
}

tesmo_result tesmo_wait_attached_threads(uint32_t count)
{
    if (!emu::System::Exists()) return TESMO_E_NOT_BOOTED;
    return emu::AwaitApplicationThreads(count) ? TESMO_OK : TESMO_E_TIMEOUT;
}

tesmo_result tesmo_schedule_points(uint64_t* points)
{
    if (!points) return TESMO_E_INVALID_ARGUMENT;
    *points = emu::SchedulingPoints();
    return TESMO_OK;
}

tesmo_result tesmo_race_figures_get(tesmo_race_figures* figures)
{
    if (!figures) return TESMO_E_INVALID_ARGUMENT;
    return WithSession([&](Session&) {
        emu::RaceReport report = emu::CurrentRaceReport();
        *figures = tesmo_race_figures{};
        figures->instrumented_image = report.instrumentedImage ? 1 : 0;
        figures->accesses = report.accesses;
        figures->checked = report.checked;
        figures->atomics = report.atomics;
        figures->watched = report.watched;
        figures->findings = report.findings;
        figures->marked_places = static_cast<uint32_t>(report.marked.size());
        return TESMO_OK;
    });
}

tesmo_result tesmo_race_marked_place(uint32_t index, char* buffer, uint32_t size, uint32_t* length, uint64_t* reads)
{
    return WithSession([&](Session&) {
        emu::RaceReport report = emu::CurrentRaceReport();
        if (index >= report.marked.size()) return TESMO_E_OUT_OF_RANGE;
        const emu::MarkedPlace& place = report.marked[index];
        if (reads) *reads = place.reads;
        return CopyText(place.file + ":" + std::to_string(place.line) + ": " + place.why, buffer, size, length);
    });
}

}  // extern "C"
