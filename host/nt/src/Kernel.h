// The kernel of one emulated system and the way kernel exports reach it.
// Private to the emulation.
#pragma once

#include <condition_variable>
#include <mutex>

#include "DeviceInterfaces.h"
#include "Dispatcher.h"
#include "IoManager.h"
#include "PnpManager.h"
#include "PowerManager.h"
#include "Registry.h"
#include "WorkQueues.h"
#include "ObjectNamespace.h"
#include "UserIo.h"
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

    // The object namespace and the user-request path (open files, handles).
    ObjectNamespace names;
    UserIo userIo;

    std::mutex traceMutex;
    std::condition_variable traceCallsEnded;
    int traceCallsRunning = 0;  // calls of a sink in progress, under traceMutex
    TraceSink traceSink;
};

// The current system's kernel; a loud failure when no system exists.
Kernel& K();

// Reports a violation to the current system's verifier.
void Violation(Rule rule, const void* irp, std::string message);

// Stops the emulated machine: prints and aborts (a bugcheck).
[[noreturn]] void BugCheck(const std::string& why);

}  // namespace emu::detail
