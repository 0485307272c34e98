// The export table (emu/Exports.def) as C++ data: an id per exported routine
// and its row, for the entry prologue and the coverage report. The rows are
// constants, so a prologue's IRQL limit is folded into its routine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace emu::exports {

enum class Module : std::uint8_t { NTOSKRNL, HAL, USBD, HEADER, EMULATION };
// The values are the IRQLs themselves, so that a limit compares with one.
enum class MaxIrql : std::uint8_t { PASSIVE = 0, APC = 1, DISPATCH = 2, ANY = 0xFF };
enum class Callers : std::uint8_t { PAGEABLE, RESIDENT };

// One id per EMU_EXPORT row, in the table's order (a row given twice does
// not compile).
enum class Id : std::uint16_t {
#define EMU_EXPORT(module, routine, maxIrql, callers) routine,
#include "emu/Exports.def"
};

struct Row {
    std::string_view routine;
    Module module;
    MaxIrql maxIrql;
    Callers callers;
};

inline constexpr Row kRows[] = {
#define EMU_EXPORT(module, routine, maxIrql, callers) \
    {#routine, Module::module, MaxIrql::maxIrql, Callers::callers},
#include "emu/Exports.def"
};
inline constexpr std::size_t kCount = std::size(kRows);

constexpr std::size_t IndexOf(Id id) { return static_cast<std::size_t>(id); }
constexpr const Row& RowOf(Id id) { return kRows[IndexOf(id)]; }

// A routine that expects or leaves its caller at DISPATCH_LEVEL can be
// called there: a RESIDENT row with a lower limit is a mistake in the table.
static_assert(std::ranges::all_of(kRows, [](const Row& row) {
    return row.callers == Callers::PAGEABLE || row.maxIrql == MaxIrql::DISPATCH || row.maxIrql == MaxIrql::ANY;
}));

constexpr std::string_view ModuleName(Module module)
{
    switch (module) {
    case Module::NTOSKRNL: return "ntoskrnl.exe";
    case Module::HAL: return "HAL.dll";
    case Module::USBD: return "USBD.SYS";
    case Module::HEADER: return "(DDK header)";
    case Module::EMULATION: return "(emulation)";
    }
    return "?";
}

constexpr std::string_view IrqlName(MaxIrql irql)
{
    switch (irql) {
    case MaxIrql::PASSIVE: return "PASSIVE_LEVEL";
    case MaxIrql::APC: return "APC_LEVEL";
    case MaxIrql::DISPATCH: return "DISPATCH_LEVEL";
    case MaxIrql::ANY: return "any IRQL";
    }
    return "?";
}

}  // namespace emu::exports
