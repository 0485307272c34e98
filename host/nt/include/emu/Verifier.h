// The rules the emulation enforces on the driver. Every check in the emulated
// kernel that catches a misuse reports here; a test fails on any violation it
// did not expect, naming the rule, the IRP and the stack of the offending call.
//
// Thread-safe: Report may be called from any emulated thread at any IRQL.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

enum class Rule {
    IrpCompletedTwice,           // IofCompleteRequest on an IRP already completed
    PendingWithoutMark,          // STATUS_PENDING returned without IoMarkIrpPending
    MarkWithoutPending,          // IoMarkIrpPending, then a status other than STATUS_PENDING returned
    PendingNotPropagated,        // a completion routine let completion go on without IoMarkIrpPending
    ReturnedStatusMismatch,      // dispatch returned a status other than the one it completed with
    ReturnedWithoutCompletion,   // dispatch returned a final status but the IRP is not completed
    CompletedWithCancelRoutine,  // completed while a cancel routine is still set
    InformationExceedsBuffer,    // IoStatus.Information larger than the caller's buffer
    IrpUseAfterFree,             // an IRP touched after the I/O manager released it
    WaitAtDispatchLevel,         // a wait with a non-zero timeout at DISPATCH_LEVEL or above
    IrqlMisuse,                  // raise below / lower above the current IRQL, wrong level for a call
    SpinLockMisuse,              // recursive acquire, release by a non-owner, release at wrong IRQL
    PageableCodeAtDispatch,      // pageable code run above APC_LEVEL
    PagedPoolAtDispatch,         // paged pool allocated or freed above APC_LEVEL
    PoolDoubleFree,
    PoolWrongTag,
    PoolBadPointer,              // free of memory that was never allocated from pool
    PoolLeak,                    // allocations still held at a checkpoint or at shutdown
    IrpLeak,                     // IRPs allocated and never released
    RemoveLockOverRelease,       // more releases than acquisitions
    WorkItemQueuedTwice,         // IoQueueWorkItem on an item that is still queued
    PowerIrpNotPoCallDriver,     // a power IRP passed down with IoCallDriver instead of PoCallDriver
    PowerIrpMissingStartNext,    // a power IRP finished without PoStartNextPowerIrp
    PowerIrpWatchdog,            // a device power IRP not finished within the power watchdog
    DeviceDeletedWhileAttached,  // IoDeleteDevice on an object still attached to a stack
    UnhandledIrpStatusChanged,  // a PnP/power minor nobody on the stack handles reached the bus with its status changed
    DetachOrDeleteDuringSurpriseRemoval,
    HandleLeak,              // registry key handles, links or names left at shutdown
    WaitWatchdog,            // a wait exceeded the watchdog: who waits on what
    ClockHeldByApplication,  // an application thread's own code kept the self-advancing clock from moving
    UnguardedAccess,         // a shared location of the driver's accessed without the guard it needs (race detector)
    DataRace,     // two threads' accesses to one location of the driver's, one a write, at once (watchpoints)
    NotModelled,  // the driver used something the emulation does not model
};

std::string_view RuleName(Rule rule);

struct Violation {
    Rule rule;
    const void* irp;             // the IRP concerned, or null
    std::string message;         // what happened, in words
    std::string stack;           // the call stack of the offending call
    bool byApplication = false;  // the application's mistake, not a driver's
};

class Verifier {
public:
    // Called for every violation, on the thread that caused it. The default
    // handler prints the violation and aborts, as a kernel would stop (an
    // application's mistake it only prints).
    using Handler = std::function<void(const Violation&)>;

    void Report(Rule rule, const void* irp, std::string message);
    // A mistake of the application rather than of a driver (a handle left
    // open, a call the emulation does not model): recorded and handed to the
    // handler like any violation, but without a handler it is only printed.
    // A kernel stops for a driver's fault, never for an application's.
    void ReportApplicationMistake(Rule rule, std::string message);
    void SetHandler(Handler handler);
    std::vector<Violation> Violations() const;
    // Violations of one rule, for tests that provoke it on purpose.
    std::vector<Violation> Take(Rule rule);
    void Clear();

private:
    void Record(Violation violation);

    mutable std::mutex mutex_;
    std::vector<Violation> violations_;
    Handler handler_;
};

std::string CaptureStack(int skip);
std::string Describe(const Violation& violation);

}  // namespace emu
