// What the whole stack costs against what it carries, measured in one run:
//  - a 1 MiB read through ReadFile from a streaming source that sends as fast
//    as it is asked, against a plain memcpy of 1 MiB;
//  - a command and its answer (*IDN?) through WriteFile and ReadFile, against
//    the same two transfers sent as URBs straight to the bus.
// Run from the release build with no trace sink attached, as a user runs the
// driver: nothing formats traces nobody reads. Times are wall-clock (the
// bench thread mostly waits while the bus thread works); compare each row
// with its baseline: ReadFile1MiBFromStream with Memcpy1MiB, IdnThroughComPort
// with IdnAsUrbsToTheBus at the same packet size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "BenchSystem.h"
#include "instrument/CommandInstrument.h"
#include "instrument/StreamingSource.h"
#include "usb/Descriptors.h"

namespace tesmo::bench {
namespace {

constexpr std::uint32_t kMiB = 1 << 20;

emu::usb::DeviceConfig AtSpeed(emu::usb::Speed speed)
{
    emu::usb::DeviceConfig config;
    config.descriptors = emu::usb::descriptors::StandardInstrument(speed);
    return config;
}

emu::usb::Speed SpeedOf(const benchmark::State& state)
{
    return state.range(0) == 512 ? emu::usb::Speed::High : emu::usb::Speed::Full;
}

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
    emu::usb::StreamingSourceOptions options;
    options.running = true;
    options.burstPackets = 16;
    emu::usb::StreamingSource source(options);
    BenchSystem system;
    HANDLE port = system.StartPort(source, AtSpeed(SpeedOf(state)));
    COMMTIMEOUTS timeouts{0, 0, 1000, 0, 0};
    SetCommTimeouts(port, &timeouts);
    std::vector<std::uint8_t> buffer(kMiB);
    for (auto _ : state) {
        DWORD got = 0;
        if (!ReadFile(port, buffer.data(), kMiB, &got, nullptr) || got != kMiB) {
            state.SkipWithError("the read came back short");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kMiB);
}
BENCHMARK(ReadFile1MiBFromStream)->Arg(64)->Arg(512)->Unit(benchmark::kMillisecond)->UseRealTime();

void IdnThroughComPort(benchmark::State& state)
{
    emu::usb::CommandInstrument instrument;
    BenchSystem system;
    HANDLE port = system.StartPort(instrument, AtSpeed(SpeedOf(state)));
    char answer[256];
    for (auto _ : state) {
        DWORD written = 0, got = 0;
        WriteFile(port, "*IDN?\n", 6, &written, nullptr);
        if (!ReadFile(port, answer, sizeof answer, &got, nullptr) || got != 31) {
            state.SkipWithError("no answer");
            break;
        }
    }
}
BENCHMARK(IdnThroughComPort)->Arg(64)->Arg(512)->Unit(benchmark::kMicrosecond)->UseRealTime();

void IdnAsUrbsToTheBus(benchmark::State& state)
{
    emu::usb::CommandInstrument instrument;
    BenchSystem system;
    emu::usb::DeviceConfig config = AtSpeed(SpeedOf(state));
    RawUsbDevice device(system.bus(), instrument, std::move(config));
    char answer[256];
    for (auto _ : state) {
        device.BulkOut("*IDN?\n", 6);
        if (device.BulkIn(answer, sizeof answer) != 31) {
            state.SkipWithError("no answer");
            break;
        }
    }
}
BENCHMARK(IdnAsUrbsToTheBus)->Arg(64)->Arg(512)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace tesmo::bench

BENCHMARK_MAIN();
