// The demo's trace sink: prints the driver's trace lines up to a level, with
// the level and the component's name in front. Hex dumps arrive in pieces
// ("OUT\t", "2A ", ..., "\n"); each thread's pieces are joined into a line.
//
// The callback runs on emulated threads, possibly at raised IRQL: it only
// formats and writes to stdout under its own lock.
#pragma once

#include <cstdint>
#include <mutex>

namespace tesmo::sim {

class TracePrinter {
public:
    explicit TracePrinter(std::uint32_t maxLevel) : maxLevel_(maxLevel) {}

    // For tesmo_set_trace_sink, with the printer as the context.
    static void Callback(void* context, std::uint32_t level, std::uint32_t component, const char* text);

private:
    void Print(std::uint32_t level, std::uint32_t component, const char* text);

    std::uint32_t maxLevel_;
    std::mutex mutex_;
};

}  // namespace tesmo::sim
