// The kernel of one emulated system and the way kernel exports reach it.
// Private to the emulation.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <vector>
#include <mutex>

#include "DeviceInterfaces.h"
#include "Dispatcher.h"
#include "IoManager.h"
#include "PnpManager.h"
#include "PowerManager.h"
#include "QueueGate.h"
#include "RaceDetector.h"
#include "Registry.h"
#include "WorkQueues.h"
#include "ObjectNamespace.h"
#include "UserIo.h"
#include "emu/EventTimeline.h"
#include "emu/System.h"

namespace emu::detail {

class Kernel {
public:
    Kernel(System& system, const SystemOptions& options);
    ~Kernel();

    System& system;
    Verifier verifier;
    FaultPlan faults;
    Pool pool{verifier, faults};
    Dispatcher dispatcher;
    Clock clock{dispatcher};
    IoManager io;
    PowerManagerState powerState;
    PowerManager power{powerState};
    PnpManagerState pnpState;
    PnpManager pnp{pnpState};

    // Kernel services: system worker threads, the registry, device interfaces.
    WorkQueues workQueues;
    Registry registry;
    DeviceInterfaceTable interfaces;

    // The race detector, fed by an instrumented driver image.
    RaceDetector races;

    // The object namespace and the user-request path (open files, handles).
    ObjectNamespace names;
    UserIo userIo;

    // The trace sink. A call of it takes no lock and copies nothing: it counts
    // itself in `traceCallsRunning` and calls the installed sink in place; a
    // setter (under traceMutex) swaps the pointer and waits until the calls
    // that may still use the old sink have ended before it lets it go.
    std::mutex traceMutex;
    std::condition_variable traceCallsEnded;
    std::atomic<int> traceCallsRunning{0};
    std::atomic<int> traceSettersWaiting{0};
    std::atomic<const TraceSink*> traceSink{nullptr};
    std::unique_ptr<TraceSink> installedSink;              // under traceMutex
    std::vector<std::unique_ptr<TraceSink>> retiredSinks;  // replaced from inside themselves; under traceMutex

    // The timeline (emu/EventTimeline.h), read without a lock: the ones
    // started stay, the last one written to, until the kernel goes.
    std::atomic<EventTimeline*> timeline{nullptr};
    std::atomic<std::uint64_t> timelineIds{0};
    std::vector<std::unique_ptr<EventTimeline>> timelines;  // under traceMutex
    QueueGate queueGate;                                    // the held requests on the timeline
};

// The current system's kernel; a loud failure when no system exists.
Kernel& K();

// Formats, under RtlStringCbPrintfA's truncation rules, arguments that came
// in the platform's calling convention (Format.cpp).
NTSTATUS FormatPlatformArguments(char* dest, size_t cbDest, const char* format, __builtin_ms_va_list args);

// The current system's timeline, if one was started (null otherwise).
inline EventTimeline* ActiveTimeline() { return K().timeline.load(std::memory_order_acquire); }

// Reports a violation to the current system's verifier.
void Violation(Rule rule, const void* irp, std::string message);

// Stops the emulated machine: prints and aborts (a bugcheck).
[[noreturn]] void BugCheck(const std::string& why);

}  // namespace emu::detail
