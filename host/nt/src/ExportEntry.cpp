// The entry prologue's state and its slow paths: the threads' call counters,
// the mode read from TESMO_EXPORT_TRACE, the trace line and the IRQL violation.
#include "emu/ExportEntry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Kernel.h"

namespace emu::exports {

constinit thread_local ThreadCalls* t_calls [[gnu::tls_model("initial-exec")]] = nullptr;
constinit std::atomic<Mode> g_mode{Mode::Unresolved};

namespace {

// Every block ever handed out, and the ones whose thread has ended. Never
// destroyed: threads that outlive the process's static objects still count,
// and the report at exit still adds up.
struct Blocks {
    std::mutex mutex;
    std::vector<std::unique_ptr<ThreadCalls>> all;
    std::vector<ThreadCalls*> free;
};

Blocks& TheBlocks()
{
    static Blocks* blocks = new Blocks;
    return *blocks;
}

// Gives the thread's block back when the thread ends. A thread that calls an
// export after this (from a later thread-local destructor) takes another
// block, which stays counted but is not handed on.
struct BlockReturn {
    ~BlockReturn()
    {
        Blocks& blocks = TheBlocks();
        std::lock_guard lock(blocks.mutex);
        blocks.free.push_back(t_calls);
        t_calls = nullptr;
    }
};

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

ThreadCalls* AttachThread()
{
    Blocks& blocks = TheBlocks();
    {
        std::lock_guard lock(blocks.mutex);
        if (blocks.free.empty()) {
            blocks.all.push_back(std::make_unique<ThreadCalls>());
            t_calls = blocks.all.back().get();
        } else {
            t_calls = blocks.free.back();
            blocks.free.pop_back();
        }
    }
    thread_local BlockReturn giveBack;
    return t_calls;
}

std::array<std::uint64_t, kCount> TotalCalls()
{
    std::array<std::uint64_t, kCount> totals{};
    Blocks& blocks = TheBlocks();
    std::lock_guard lock(blocks.mutex);
    for (const auto& block : blocks.all) {
        for (std::size_t i = 0; i < kCount; ++i) totals[i] += block->calls[i].load(std::memory_order_relaxed);
    }
    return totals;
}

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
