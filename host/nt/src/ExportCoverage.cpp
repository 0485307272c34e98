// The coverage report over the entry prologue's call counters, on request
// and, with TESMO_EXPORT_COVERAGE=1, when the process ends.
#include "emu/ExportCoverage.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "emu/ExportEntry.h"

namespace emu {

using exports::Callers;
using exports::kRows;

std::vector<ExportUse> ExportCoverage()
{
    const auto totals = exports::TotalCalls();
    std::vector<ExportUse> uses;
    uses.reserve(exports::kCount);
    for (std::size_t i = 0; i < exports::kCount; ++i) {
        const exports::Row& row = kRows[i];
        uses.push_back({row.routine, exports::ModuleName(row.module), exports::IrqlName(row.maxIrql),
                        row.callers == Callers::PAGEABLE, totals[i]});
    }
    return uses;
}

std::uint64_t ExportCalls(std::string_view routine)
{
    for (std::size_t i = 0; i < exports::kCount; ++i) {
        if (kRows[i].routine == routine) return exports::TotalCalls()[i];
    }
    throw std::invalid_argument("ExportCalls: " + std::string(routine) + " is not in the export table");
}

void PrintExportCoverage(std::FILE* out)
{
    std::size_t called = 0;
    std::fprintf(out, "export coverage:\n  %-14s %-36s %-15s %-9s %s\n", "module", "routine", "max IRQL", "callers",
                 "calls");
    for (const ExportUse& use : ExportCoverage()) {
        if (use.calls) ++called;
        std::fprintf(out, "  %-14.*s %-36.*s %-15.*s %-9s %llu%s\n", static_cast<int>(use.module.size()),
                     use.module.data(), static_cast<int>(use.routine.size()), use.routine.data(),
                     static_cast<int>(use.maxIrql.size()), use.maxIrql.data(),
                     use.pageableCallers ? "pageable" : "resident", static_cast<unsigned long long>(use.calls),
                     use.calls ? "" : "  (never called)");
    }
    std::fprintf(out, "export coverage: %zu of %zu routines called\n", called, exports::kCount);
}

namespace {

// Destroyed when the process ends (the counters are never destroyed).
struct ReportAtExit {
    ~ReportAtExit()
    {
        const char* wanted = std::getenv("TESMO_EXPORT_COVERAGE");
        if (wanted && std::strcmp(wanted, "1") == 0) PrintExportCoverage(stderr);
    }
} g_reportAtExit;

}  // namespace

}  // namespace emu
