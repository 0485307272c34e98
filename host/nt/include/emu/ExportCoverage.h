// Which exported routines were called, and how often: the counts the entry
// prologue keeps, one per row of the export table (emu/Exports.def).
//
// The counts are the process's, across every system it booted, and take in
// every caller of an export: the drivers, the bus driver and the emulation's
// own calls of its exports (IoAcquireCancelSpinLock counts a call of
// KeAcquireSpinLockRaiseToDpc too), as a platform routine's callers would be.
//
// With TESMO_EXPORT_COVERAGE=1 in the environment, the report is written to
// standard error when the process ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace emu {

struct ExportUse {
    std::string_view routine;
    std::string_view module;   // ntoskrnl.exe, USBD.SYS, (DDK header), (emulation)
    std::string_view maxIrql;  // PASSIVE_LEVEL, APC_LEVEL, DISPATCH_LEVEL, any IRQL
    bool pageableCallers;      // pageable code may call it
    std::uint64_t calls;
};

// Every row of the table, in its order, with its count so far.
std::vector<ExportUse> ExportCoverage();
// The count of one routine; std::invalid_argument for a name not in the table.
std::uint64_t ExportCalls(std::string_view routine);
// The report: one line per routine, the ones never called marked, and the total.
void PrintExportCoverage(std::FILE* out);

}  // namespace emu
