// The prologue of every routine the emulation exports to drivers:
//
//   VOID KeClearEvent(PRKEVENT Event)
//   {
//       EMU_ENTRY(KeClearEvent);
//       ...
//
// It counts the call, traces it when TESMO_EXPORT_TRACE=1 asked for that, and
// reports an IrqlMisuse violation naming the routine when the caller's IRQL is
// above the routine's limit in the export table (emu/Exports.def). A routine
// that takes an IRP passes it (EMU_ENTRY(IofCallDriver, Irp)), so that the
// violation names the IRP as well.
//
// The free-running cost is a relaxed increment of the routine's own counter,
// one relaxed load of the mode and, for a routine with a limit, the caller's
// IRQL compared with a constant. Everything else lies behind a branch that is
// not taken.
//
// A routine whose name is not in the table does not compile.
#pragma once

#include <atomic>
#include <cstdint>

#include "emu/ExportTable.h"

namespace emu::exports {

// Each counter on a cache line of its own: the hot routines (spin locks, IRP
// calls, allocations) are called from several threads at once.
struct alignas(64) CallCount {
    std::atomic<std::uint64_t> value{0};
};
extern CallCount g_calls[kCount];

// Whether the prologue only counts or also traces; Unresolved until the first
// call reads TESMO_EXPORT_TRACE.
enum class Mode : std::uint8_t { Unresolved, Count, Trace };
extern std::atomic<Mode> g_mode;

// The calling thread's IRQL (KeGetCurrentIrql without counting a call of it).
std::uint8_t CallerIrql() noexcept;
// The slow path: resolves the mode and writes the trace line.
[[gnu::cold]] void Observe(Id id);
[[gnu::cold]] void ReportIrqlMisuse(Id id, std::uint8_t irql, const void* irp);

template <Id id>
inline void Enter(const void* irp = nullptr)
{
    constexpr MaxIrql limit = RowOf(id).maxIrql;
    g_calls[IndexOf(id)].value.fetch_add(1, std::memory_order_relaxed);
    if (g_mode.load(std::memory_order_relaxed) != Mode::Count) [[unlikely]] {
        Observe(id);
    }
    if constexpr (limit != MaxIrql::ANY) {
        const std::uint8_t irql = CallerIrql();
        if (irql > static_cast<std::uint8_t>(limit)) [[unlikely]] {
            ReportIrqlMisuse(id, irql, irp);
        }
    }
}

}  // namespace emu::exports

#define EMU_ENTRY(routine, ...) ::emu::exports::Enter<::emu::exports::Id::routine>(__VA_ARGS__)
