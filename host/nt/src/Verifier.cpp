#include "emu/Verifier.h"

#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "Kernel.h"
#include "emu/EventTimeline.h"
#include "emu/System.h"

namespace emu {

std::string_view RuleName(Rule rule)
{
    switch (rule) {
    case Rule::IrpCompletedTwice: return "IrpCompletedTwice";
    case Rule::PendingWithoutMark: return "PendingWithoutMark";
    case Rule::MarkWithoutPending: return "MarkWithoutPending";
    case Rule::PendingNotPropagated: return "PendingNotPropagated";
    case Rule::ReturnedStatusMismatch: return "ReturnedStatusMismatch";
    case Rule::ReturnedWithoutCompletion: return "ReturnedWithoutCompletion";
    case Rule::CompletedWithCancelRoutine: return "CompletedWithCancelRoutine";
    case Rule::InformationExceedsBuffer: return "InformationExceedsBuffer";
    case Rule::IrpUseAfterFree: return "IrpUseAfterFree";
    case Rule::WaitAtDispatchLevel: return "WaitAtDispatchLevel";
    case Rule::IrqlMisuse: return "IrqlMisuse";
    case Rule::SpinLockMisuse: return "SpinLockMisuse";
    case Rule::PageableCodeAtDispatch: return "PageableCodeAtDispatch";
    case Rule::PagedPoolAtDispatch: return "PagedPoolAtDispatch";
    case Rule::PoolDoubleFree: return "PoolDoubleFree";
    case Rule::PoolWrongTag: return "PoolWrongTag";
    case Rule::PoolBadPointer: return "PoolBadPointer";
    case Rule::PoolLeak: return "PoolLeak";
    case Rule::IrpLeak: return "IrpLeak";
    case Rule::RemoveLockOverRelease: return "RemoveLockOverRelease";
    case Rule::WorkItemQueuedTwice: return "WorkItemQueuedTwice";
    case Rule::PowerIrpNotPoCallDriver: return "PowerIrpNotPoCallDriver";
    case Rule::PowerIrpMissingStartNext: return "PowerIrpMissingStartNext";
    case Rule::PowerIrpWatchdog: return "PowerIrpWatchdog";
    case Rule::DeviceDeletedWhileAttached: return "DeviceDeletedWhileAttached";
    case Rule::UnhandledIrpStatusChanged: return "UnhandledIrpStatusChanged";
    case Rule::DetachOrDeleteDuringSurpriseRemoval: return "DetachOrDeleteDuringSurpriseRemoval";
    case Rule::HandleLeak: return "HandleLeak";
    case Rule::WaitWatchdog: return "WaitWatchdog";
    case Rule::ClockHeldByApplication: return "ClockHeldByApplication";
    case Rule::UnguardedAccess: return "UnguardedAccess";
    case Rule::DataRace: return "DataRace";
    case Rule::NotModelled: return "NotModelled";
    }
    return "UnknownRule";
}

std::string CaptureStack(int skip)
{
    void* frames[32];
    int count = backtrace(frames, 32);
    char** symbols = backtrace_symbols(frames, count);
    std::ostringstream out;
    for (int i = skip; i < count; ++i) {
        out << "    #" << (i - skip) << ' ' << (symbols ? symbols[i] : "?") << '\n';
    }
    free(symbols);
    return out.str();
}

std::string Describe(const Violation& violation)
{
    std::ostringstream out;
    out << "verifier: rule " << RuleName(violation.rule);
    if (violation.byApplication) out << " (the application's mistake)";
    if (violation.irp) out << " (IRP " << violation.irp << ")";
    out << ": " << violation.message << '\n' << violation.stack;
    return out.str();
}

void Verifier::Report(Rule rule, const void* irp, std::string message)
{
    Record(Violation{rule, irp, std::move(message), CaptureStack(2)});
}

void Verifier::ReportApplicationMistake(Rule rule, std::string message)
{
    Record(Violation{rule, nullptr, std::move(message), CaptureStack(2), true});
}

void Verifier::Record(Violation violation)
{
    if (System::Exists()) {
        if (EventTimeline* timeline = detail::ActiveTimeline()) {
            timeline->Instant(std::string("verifier: ") + std::string(RuleName(violation.rule)), "verifier", 'g',
                              "\"finding\": " + EventTimeline::Json(Describe(violation)));
        }
    }
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        violations_.push_back(violation);
        handler = handler_;
    }
    if (handler) {
        handler(violation);
        return;
    }
    std::fprintf(stderr, "%s\n", Describe(violation).c_str());
    if (!violation.byApplication) std::abort();
}

void Verifier::SetHandler(Handler handler)
{
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<Violation> Verifier::Violations() const
{
    std::lock_guard lock(mutex_);
    return violations_;
}

std::vector<Violation> Verifier::Take(Rule rule)
{
    std::lock_guard lock(mutex_);
    std::vector<Violation> taken;
    std::vector<Violation> kept;
    for (auto& v : violations_) (v.rule == rule ? taken : kept).push_back(std::move(v));
    violations_ = std::move(kept);
    return taken;
}

void Verifier::Clear()
{
    std::lock_guard lock(mutex_);
    violations_.clear();
}

}  // namespace emu
