// A trace sink at the driver's level 5 on the data path: ReadFile of 1 MiB
// with a sink attached, x_no_sink against the same read with none, measured
// just before in the same system.
#include <benchmark/benchmark.h>

#include <atomic>

#include "BenchSystem.h"
#include "Measure.h"
#include "Rows.h"
#include "instrument/StreamingSource.h"

namespace tesmo::bench {
namespace {

void ReadFile1MiBWithTraceSink(benchmark::State& state)
{
    emu::usb::StreamingSource source(FastSource());
    BenchSystem system;
    HANDLE port = system.StartPort(source, AtSpeed(SpeedOf(state)));
    SetReadTimeouts(port, 1000);
    std::vector<std::uint8_t> buffer(kMiB);
    const double bareSeconds = SecondsPerCall([&] { ReadMiB(port, buffer); }, 10);
    std::atomic<std::uint64_t> characters{0};
    system.system().SetTraceSink([&](std::uint32_t, std::uint32_t, std::string_view text) {
        characters.fetch_add(text.size(), std::memory_order_relaxed);
    });
    LoopMeter meter;
    for (auto _ : state) {
        if (!ReadMiB(port, buffer)) {
            state.SkipWithError("the read came back short");
            break;
        }
    }
    state.counters["x_no_sink"] = meter.SecondsPerIteration(state.iterations()) / bareSeconds;
    state.counters["trace_chars_per_op"] =
        static_cast<double>(characters.load()) / static_cast<double>(std::max<std::int64_t>(state.iterations(), 1));
    system.system().ClearTraceSink();
    state.SetBytesProcessed(state.iterations() * kMiB);
}
BENCHMARK(ReadFile1MiBWithTraceSink)->Arg(64)->Arg(512)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tesmo::bench
