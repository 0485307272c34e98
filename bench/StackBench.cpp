// What the whole stack costs against what it carries, measured in one run.
// Each row takes its baseline in the same process just before its timed loop
// and prints the ratio as a counter, so one run prints the whole table:
//  - ReadFile1MiBFromStream: a 1 MiB ReadFile from a streaming source that
//    sends as fast as it is asked; x_memcpy against a memcpy of 1 MiB;
//  - IdnThroughComPort: *IDN? and its answer through WriteFile and ReadFile;
//    x_urbs against the same two transfers sent as URBs straight to the bus;
//  - IdnWithPluggedInstruments/64: the same round trip with 63 more
//    instruments on the bus; x_one against the round trip before they came.
// Run from the release build with no trace sink attached, as a user runs the
// driver. Times are wall-clock (the bench thread mostly waits while the bus
// thread works). switches_per_op counts the process's context switches.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "BenchSystem.h"
#include "Measure.h"
#include "Rows.h"
#include "instrument/CommandInstrument.h"
#include "instrument/StreamingSource.h"

namespace tesmo::bench {
namespace {

void Memcpy1MiB(benchmark::State& state)
{
    std::vector<std::uint8_t> from(kMiB, 0x5A), to(kMiB);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), kMiB);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kMiB);
}
BENCHMARK(Memcpy1MiB)->UseRealTime();

// One ReadFile of 1 MiB: whole packets go straight into the caller's buffer
// in one bulk transfer, so the read time limit never applies.
void ReadFile1MiBFromStream(benchmark::State& state)
{
    const double memcpySeconds = MemcpySecondsPerMiB();
    emu::usb::StreamingSource source(FastSource());
    BenchSystem system;
    HANDLE port = system.StartPort(source, AtSpeed(SpeedOf(state)));
    SetReadTimeouts(port, 1000);
    std::vector<std::uint8_t> buffer(kMiB);
    LoopMeter meter;
    for (auto _ : state) {
        if (!ReadMiB(port, buffer)) {
            state.SkipWithError("the read came back short");
            break;
        }
    }
    state.counters["x_memcpy"] = meter.SecondsPerIteration(state.iterations()) / memcpySeconds;
    state.counters["switches_per_op"] = meter.SwitchesPerIteration(state.iterations());
    state.SetBytesProcessed(state.iterations() * kMiB);
}
BENCHMARK(ReadFile1MiBFromStream)->Arg(64)->Arg(512)->Unit(benchmark::kMillisecond)->UseRealTime();

void IdnThroughComPort(benchmark::State& state)
{
    emu::usb::CommandInstrument instrument, direct;
    BenchSystem system;
    HANDLE port = system.StartPort(instrument, AtSpeed(SpeedOf(state)));
    RawUsbDevice device(system.bus(), direct, AtSpeed(SpeedOf(state)));
    const double urbSeconds = SecondsPerCall([&] { IdnAsUrbs(device); }, 500);
    LoopMeter meter;
    for (auto _ : state) {
        if (!IdnThroughPort(port)) {
            state.SkipWithError("no answer");
            break;
        }
    }
    state.counters["x_urbs"] = meter.SecondsPerIteration(state.iterations()) / urbSeconds;
    state.counters["switches_per_op"] = meter.SwitchesPerIteration(state.iterations());
}
BENCHMARK(IdnThroughComPort)->Arg(64)->Arg(512)->Unit(benchmark::kMicrosecond)->UseRealTime();

void IdnAsUrbsToTheBus(benchmark::State& state)
{
    emu::usb::CommandInstrument instrument;
    BenchSystem system;
    RawUsbDevice device(system.bus(), instrument, AtSpeed(SpeedOf(state)));
    LoopMeter meter;
    for (auto _ : state) {
        if (!IdnAsUrbs(device)) {
            state.SkipWithError("no answer");
            break;
        }
    }
    state.counters["switches_per_op"] = meter.SwitchesPerIteration(state.iterations());
}
BENCHMARK(IdnAsUrbsToTheBus)->Arg(64)->Arg(512)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Every plugged device has a bus thread of its own; a round trip on one of
// them must not wake the others.
void IdnWithPluggedInstruments(benchmark::State& state)
{
    const auto plugged = static_cast<std::size_t>(state.range(0));
    std::vector<std::unique_ptr<emu::usb::CommandInstrument>> others;
    emu::usb::CommandInstrument instrument;
    for (std::size_t i = 1; i < plugged; ++i) others.push_back(std::make_unique<emu::usb::CommandInstrument>());
    BenchSystem system;
    HANDLE port = system.StartPort(instrument, AtSpeed(emu::usb::Speed::Full));
    const double aloneSeconds = SecondsPerCall([&] { IdnThroughPort(port); }, 500);
    std::vector<std::unique_ptr<RawUsbDevice>> devices;
    for (auto& other : others) {
        devices.push_back(std::make_unique<RawUsbDevice>(system.bus(), *other, AtSpeed(emu::usb::Speed::Full)));
    }
    LoopMeter meter;
    for (auto _ : state) {
        if (!IdnThroughPort(port)) {
            state.SkipWithError("no answer");
            break;
        }
    }
    state.counters["x_one"] = meter.SecondsPerIteration(state.iterations()) / aloneSeconds;
    state.counters["switches_per_op"] = meter.SwitchesPerIteration(state.iterations());
}
BENCHMARK(IdnWithPluggedInstruments)->Arg(64)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace tesmo::bench

BENCHMARK_MAIN();
