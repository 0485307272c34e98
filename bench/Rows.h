// The pieces the benchmark rows share: the instruments' settings, the
// exchanges they time and the baselines they divide by.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "BenchSystem.h"
#include "instrument/StreamingSource.h"
#include "usb/Descriptors.h"

namespace tesmo::bench {

constexpr std::uint32_t kMiB = 1 << 20;

emu::usb::DeviceConfig AtSpeed(emu::usb::Speed speed, bool frameTiming = false);
// The benchmark's first argument is the packet size: 64 full speed, 512 high.
emu::usb::Speed SpeedOf(const benchmark::State& state);
// A source that sends as fast as it is asked, 16 packets at a time.
emu::usb::StreamingSourceOptions FastSource();

void SetReadTimeouts(HANDLE port, DWORD totalMilliseconds);
// One ReadFile of the whole buffer; false if it came back short.
bool ReadMiB(HANDLE port, std::vector<std::uint8_t>& buffer);
// *IDN? and its 31-byte answer.
bool IdnThroughPort(HANDLE port);
bool IdnAsUrbs(RawUsbDevice& device);

double MemcpySecondsPerMiB();

}  // namespace tesmo::bench
