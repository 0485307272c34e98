// The entry prologue's state and its slow paths: the call counters, the mode
// read from TESMO_EXPORT_TRACE, the trace line and the IRQL violation.
#include "emu/ExportEntry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Kernel.h"

namespace emu::exports {

constinit CallCount g_calls[kCount];
constinit std::atomic<Mode> g_mode{Mode::Unresolved};

namespace {

// Read once, by the first call of any export; a later change of the
// environment does not switch the trace on or off.
Mode ResolveMode()
{
    const char* trace = std::getenv("TESMO_EXPORT_TRACE");
    Mode wanted = trace && std::strcmp(trace, "1") == 0 ? Mode::Trace : Mode::Count;
    Mode expected = Mode::Unresolved;
    g_mode.compare_exchange_strong(expected, wanted, std::memory_order_relaxed);
    return g_mode.load(std::memory_order_relaxed);
}

}  // namespace

std::uint8_t CallerIrql() noexcept { return detail::Self().irql; }

void Observe(Id id)
{
    Mode mode = g_mode.load(std::memory_order_relaxed);
    if (mode == Mode::Unresolved) mode = ResolveMode();
    if (mode != Mode::Trace) return;
    const Row& row = RowOf(id);
    const detail::ThreadState& self = detail::Self();
    // One write per line, so that the lines of threads do not interleave.
    std::fprintf(stderr, "export: %.*s at IRQL %u on %s\n", static_cast<int>(row.routine.size()), row.routine.data(),
                 static_cast<unsigned>(self.irql), self.name.c_str());
}

void ReportIrqlMisuse(Id id, std::uint8_t irql, const void* irp)
{
    const Row& row = RowOf(id);
    detail::Violation(Rule::IrqlMisuse, irp,
                      std::string(row.routine) + " called at IRQL " + std::to_string(irql) + ", above " +
                          std::string(IrqlName(row.maxIrql)));
}

}  // namespace emu::exports
