// The emulated system object, the path from kernel exports to it, trace
// output, and driver image loading.
#include "Kernel.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "ApplicationGate.h"
#include "emu/ExportEntry.h"
#include "emu/Threads.h"

namespace emu {

namespace {
std::atomic<detail::Kernel*> g_kernel{nullptr};
std::atomic<bool> g_traceAttached{false};
}  // namespace

namespace detail {

namespace {

DispatcherOptions DispatcherOptionsOf(const SystemOptions& options)
{
    // A controlled schedule moves the clock itself, in its own order: it
    // cannot follow the wall clock too.
    if (options.wallClock && options.controlledSchedule) {
        BugCheck("a system with a controlled schedule cannot have a clock that follows the wall clock");
    }
    DispatcherOptions dispatcher;
    dispatcher.watchdog = options.watchdog;
    dispatcher.schedule = options.controlledSchedule;
    dispatcher.clock = options.wallClock          ? ClockMode::WallClock
                       : options.autoAdvanceClock ? ClockMode::SelfAdvancing
                                                  : ClockMode::Manual;
    return dispatcher;
}

}  // namespace

Kernel::Kernel(System& owner, const SystemOptions& options)
    : system(owner), dispatcher(verifier, DispatcherOptionsOf(options))
{
    if (options.violationHandler) verifier.SetHandler(options.violationHandler);
}

Kernel::~Kernel() = default;

Kernel& K()
{
    Kernel* kernel = g_kernel.load();
    if (!kernel) BugCheck("a kernel routine was called with no emulated system running");
    return *kernel;
}

void Violation(Rule rule, const void* irp, std::string message) { K().verifier.Report(rule, irp, std::move(message)); }

void BugCheck(const std::string& why)
{
    std::fprintf(stderr, "emulation: bugcheck: %s\n%s", why.c_str(), CaptureStack(1).c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace detail

System::System(SystemOptions options) : options_(std::move(options))
{
    if (g_kernel.load()) detail::BugCheck("a second emulated system was created while one exists");
    kernel_ = std::make_unique<detail::Kernel>(*this, options_);
    g_kernel.store(kernel_.get());
    detail::AdmitApplicationCalls();
}

bool System::CloseToApplications(std::optional<std::chrono::milliseconds> patience)
{
    // The teardown runs freely: it joins the system's threads. What they
    // were doing under the schedule ends under it first.
    kernel_->dispatcher.SettleSchedule();
    kernel_->dispatcher.StopSchedule();
    if (detail::StopAdmittingApplicationCalls()) kernel_->userIo.EndRequests();
    bool returned = true;
    if (detail::ApplicationCallsInProgress()) {
        // A call in progress may be waiting out a time limit inside a driver
        // (a read waits for the instrument under one), which a cancel does
        // not shorten: time runs by itself until such calls have returned, as
        // it would for a process that is exiting.
        ClockMode before = kernel_->clock.SetMode(ClockMode::SelfAdvancing);
        returned = detail::WaitForApplicationCallsToReturn(patience);
        kernel_->clock.SetMode(before);
    }
    // The files that requests still referenced when their handles were
    // closed are closed before anything else goes.
    if (returned) kernel_->userIo.FinishCloses();
    return returned;
}

void System::Shutdown()
{
    if (shutDown_) return;
    shutDown_ = true;
    CloseToApplications();
    ClearTraceSink();
    // No more PnP sequences; handles left open are closed; work still queued
    // runs to its end before the drivers go; then the workers and the power
    // manager stop.
    kernel_->pnpState.Shutdown();
    kernel_->userIo.Shutdown();
    kernel_->workQueues.Stop();
    kernel_->powerState.Shutdown();
    kernel_->io.UnloadAllDrivers();
    detail::ReportOpenRegistryKeys(*kernel_);
    kernel_->names.ReportLeakedLinks();
    for (const Allocation& a : kernel_->pool.Outstanding()) {
        char line[160];
        std::snprintf(line, sizeof line, "pool block of %zu bytes, tag '%s', type %d, allocated by %p is still held",
                      a.size, TagText(a.tag).c_str(), a.type, a.caller);
        kernel_->verifier.Report(Rule::PoolLeak, nullptr, line);
    }
    std::size_t irps;
    {
        std::lock_guard lock(kernel_->io.mutex);
        irps = kernel_->io.LiveIrps();
    }
    if (irps) {
        kernel_->verifier.Report(Rule::IrpLeak, nullptr, std::to_string(irps) + " IRP(s) never released");
    }
}

System::~System()
{
    Shutdown();
    g_kernel.store(nullptr);
    kernel_.reset();
}

System& System::Current() { return detail::K().system; }
bool System::Exists() { return g_kernel.load() != nullptr; }
Clock& System::clock() { return kernel_->clock; }
Pool& System::pool() { return kernel_->pool; }
Verifier& System::verifier() { return kernel_->verifier; }
FaultPlan& System::faults() { return kernel_->faults; }
PowerManager& System::power() { return kernel_->power; }
PnpManager& System::pnp() { return kernel_->pnp; }
detail::Kernel& System::kernel() { return *kernel_; }

namespace {
// Set while this thread runs a sink, so that a sink replacing itself does not
// wait for its own call to end.
thread_local bool t_insideTraceSink = false;
}  // namespace

void System::SetTraceSink(TraceSink sink)
{
    auto& k = *kernel_;
    std::unique_lock lock(k.traceMutex);
    auto fresh = sink ? std::make_unique<TraceSink>(std::move(sink)) : nullptr;
    k.traceSink.store(fresh.get());
    g_traceAttached.store(fresh != nullptr);
    auto old = std::exchange(k.installedSink, std::move(fresh));
    const int own = t_insideTraceSink ? 1 : 0;
    ++k.traceSettersWaiting;
    k.traceCallsEnded.wait(lock, [&] { return k.traceCallsRunning.load() <= own; });
    --k.traceSettersWaiting;
    if (own) {
        // The old sink is the one running on this thread: keep it until a
        // setter outside any sink call finds nobody using it.
        k.retiredSinks.push_back(std::move(old));
    } else {
        k.retiredSinks.clear();
    }
}

void System::ClearTraceSink() { SetTraceSink(nullptr); }

bool System::StartTimeline(const std::string& path)
{
    std::unique_ptr<EventTimeline> timeline = EventTimeline::Open(path);
    if (!timeline) return false;
    std::lock_guard lock(kernel_->traceMutex);
    kernel_->timeline.store(timeline.get(), std::memory_order_release);
    kernel_->timelines.push_back(std::move(timeline));
    return true;
}

void System::RunBetweenPnpSequences(const std::function<void()>& job)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    kernel_->pnpState.Post([&] {
        job();
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace emu

using emu::detail::K;

namespace {

// Both debugger prints end here: the text, formatted from the platform's
// argument slots, goes to the trace sink.
ULONG PrintToTraceSink(PCSTR Format, __builtin_ms_va_list Arguments)
{
    char text[1024];
    emu::detail::FormatPlatformArguments(text, sizeof text, Format, Arguments);
    EmuTraceEmit(0, 0, text);
    return 0;
}

}  // namespace

extern "C" {

BOOLEAN EmuTraceSinkAttached(void)
{
    EMU_ENTRY(EmuTraceSinkAttached);
    return emu::g_traceAttached.load(std::memory_order_relaxed) ? TRUE : FALSE;
}

VOID EmuTraceEmit(ULONG Level, ULONG Component, PCSTR Text)
{
    EMU_ENTRY(EmuTraceEmit);
    if (!emu::System::Exists()) return;
    auto& kernel = K();
    // Counted before the sink is read: a setter that swapped it waits for us.
    kernel.traceCallsRunning.fetch_add(1);
    if (const emu::TraceSink* sink = kernel.traceSink.load()) {
        const bool outer = !emu::t_insideTraceSink;
        emu::t_insideTraceSink = true;
        (*sink)(Level, Component, Text);
        if (outer) emu::t_insideTraceSink = false;
    }
    kernel.traceCallsRunning.fetch_sub(1);
    if (kernel.traceSettersWaiting.load() != 0) {
        std::lock_guard lock(kernel.traceMutex);
        kernel.traceCallsEnded.notify_all();
    }
}

ULONG NTAPI DbgPrint(PCSTR Format, ...)
{
    EMU_ENTRY(DbgPrint);
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, Format);
    ULONG result = PrintToTraceSink(Format, args);
    __builtin_ms_va_end(args);
    return result;
}

// The traced image's trace lines arrive here: they passed the driver's own
// filter already, so the debugger's component and level are not the sink's.
ULONG NTAPI DbgPrintEx(ULONG, ULONG, PCSTR Format, ...)
{
    EMU_ENTRY(DbgPrintEx);
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, Format);
    ULONG result = PrintToTraceSink(Format, args);
    __builtin_ms_va_end(args);
    return result;
}

VOID EmuAssertPageableCode(const char* Function)
{
    EMU_ENTRY(EmuAssertPageableCode);
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        emu::detail::Violation(emu::Rule::PageableCodeAtDispatch, nullptr,
                               std::string("pageable routine ") + Function + " ran at IRQL " + std::to_string(irql));
    }
}

}  // extern "C"
