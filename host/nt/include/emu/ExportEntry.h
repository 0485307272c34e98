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
// The free-running cost is an increment of the calling thread's own counter
// for the routine (no locked instruction, no cache line shared with another
// thread), one load of the mode and, for a routine with a limit, the caller's
// IRQL compared with a constant. Everything else lies behind a branch that is
// not taken.
//
// A routine whose name is not in the table does not compile.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "emu/ExportTable.h"

namespace emu::exports {

// The calls of one thread, written by that thread only; the report adds up
// the blocks of every thread. A block outlives its thread and is handed to
// the next thread that calls an export, which counts on in it.
struct ThreadCalls {
    std::atomic<std::uint64_t> calls[kCount] = {};
};
// The calling thread's block; null until its first call of an export. In the
// static TLS block, so that reaching it costs one load.
extern constinit thread_local ThreadCalls* t_calls [[gnu::tls_model("initial-exec")]];
[[gnu::cold]] ThreadCalls* AttachThread();

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
    ThreadCalls* mine = t_calls;
    if (!mine) [[unlikely]] {
        mine = AttachThread();
    }
    // The only writer of this counter: a load and a store, not an exchange.
    std::atomic<std::uint64_t>& calls = mine->calls[IndexOf(id)];
    calls.store(calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
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

// Every thread's calls of each routine so far, in the table's order.
std::array<std::uint64_t, kCount> TotalCalls();

}  // namespace emu::exports

#define EMU_ENTRY(routine, ...) ::emu::exports::Enter<::emu::exports::Id::routine>(__VA_ARGS__)
