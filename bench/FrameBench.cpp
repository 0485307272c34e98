// The bus's timing model, read in emulated time, and what emulated time costs
// in wall time when the clock advances by itself:
//  - BulkInUnderFrameTiming: 1 MiB ReadFiles from a source that sends as
//    fast as it is asked; pct_of_limit is the emulated throughput against
//    what the bus can carry (full speed 19 x 64 B per 1 ms frame =
//    1,216,000 B/s; high speed 13 x 512 B per 125 us microframe =
//    53,248,000 B/s);
//  - IdnRoundTripUnderFrameTiming: *IDN? round trips, idle-bound: every one
//    waits for frame boundaries; wall_s_per_emulated_s is what a second of
//    emulated time costs, frames_per_op the round trip in bus intervals.
#include <benchmark/benchmark.h>

#include "BenchSystem.h"
#include "Measure.h"
#include "Rows.h"
#include "instrument/CommandInstrument.h"
#include "instrument/StreamingSource.h"

namespace tesmo::bench {
namespace {

double LimitBytesPerSecond(emu::usb::Speed speed) { return speed == emu::usb::Speed::High ? 53'248'000.0 : 1'216'000.0; }
emu::Time FrameLength(emu::usb::Speed speed) { return speed == emu::usb::Speed::High ? 125 * emu::kMicrosecond : emu::kMillisecond; }

void BulkInUnderFrameTiming(benchmark::State& state)
{
    const emu::usb::Speed speed = SpeedOf(state);
    emu::usb::StreamingSource source(FastSource());
    BenchSystem system;
    HANDLE port = system.StartPort(source, AtSpeed(speed, true));
    SetReadTimeouts(port, 10'000);
    system.system().clock().SetAutoAdvance(true);
    std::vector<std::uint8_t> buffer(kMiB);
    emu::Clock& clock = system.system().clock();
    emu::Time emulated = 0;
    LoopMeter meter;
    for (auto _ : state) {
        const emu::Time start = clock.Now();
        if (!ReadMiB(port, buffer)) {
            state.SkipWithError("the read came back short");
            break;
        }
        emulated += clock.Now() - start;
    }
    const double emulatedSeconds = static_cast<double>(emulated) / emu::kSecond;
    const double bytes = static_cast<double>(state.iterations()) * kMiB;
    state.counters["emulated_Bps"] = bytes / emulatedSeconds;
    state.counters["pct_of_limit"] = 100.0 * bytes / emulatedSeconds / LimitBytesPerSecond(speed);
    state.counters["wall_s_per_emulated_s"] =
        meter.SecondsPerIteration(state.iterations()) * static_cast<double>(state.iterations()) / emulatedSeconds;
    state.counters["switches_per_op"] = meter.SwitchesPerIteration(state.iterations());
    state.SetBytesProcessed(state.iterations() * kMiB);
}
BENCHMARK(BulkInUnderFrameTiming)->Arg(64)->Arg(512)->Unit(benchmark::kMillisecond)->UseRealTime();

void IdnRoundTripUnderFrameTiming(benchmark::State& state)
{
    const emu::usb::Speed speed = SpeedOf(state);
    emu::usb::CommandInstrument instrument;
    BenchSystem system;
    HANDLE port = system.StartPort(instrument, AtSpeed(speed, true));
    emu::Clock& clock = system.system().clock();
    clock.SetAutoAdvance(true);
    const emu::Time start = clock.Now();
    LoopMeter meter;
    for (auto _ : state) {
        if (!IdnThroughPort(port)) {
            state.SkipWithError("no answer");
            break;
        }
    }
    const double wall = meter.SecondsPerIteration(state.iterations()) * static_cast<double>(state.iterations());
    const emu::Time emulated = clock.Now() - start;
    state.counters["wall_s_per_emulated_s"] = wall / (static_cast<double>(emulated) / emu::kSecond);
    state.counters["frames_per_op"] =
        static_cast<double>(emulated) / static_cast<double>(FrameLength(speed)) / static_cast<double>(state.iterations());
    state.counters["switches_per_op"] = meter.SwitchesPerIteration(state.iterations());
}
BENCHMARK(IdnRoundTripUnderFrameTiming)->Arg(64)->Arg(512)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace tesmo::bench
