#include "Rows.h"

#include <cstring>

#include "Measure.h"

namespace tesmo::bench {

emu::usb::DeviceConfig AtSpeed(emu::usb::Speed speed, bool frameTiming)
{
    emu::usb::DeviceConfig config;
    config.descriptors = emu::usb::descriptors::StandardInstrument(speed);
    config.frameTiming = frameTiming;
    return config;
}

emu::usb::Speed SpeedOf(const benchmark::State& state)
{
    return state.range(0) == 512 ? emu::usb::Speed::High : emu::usb::Speed::Full;
}

emu::usb::StreamingSourceOptions FastSource()
{
    emu::usb::StreamingSourceOptions options;
    options.running = true;
    options.burstPackets = 16;
    return options;
}

void SetReadTimeouts(HANDLE port, DWORD totalMilliseconds)
{
    COMMTIMEOUTS timeouts{0, 0, totalMilliseconds, 0, 0};
    SetCommTimeouts(port, &timeouts);
}

bool ReadMiB(HANDLE port, std::vector<std::uint8_t>& buffer)
{
    DWORD got = 0;
    return ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got == buffer.size();
}

bool IdnThroughPort(HANDLE port)
{
    char answer[256];
    DWORD written = 0, got = 0;
    WriteFile(port, "*IDN?\n", 6, &written, nullptr);
    return ReadFile(port, answer, sizeof answer, &got, nullptr) && got == 31;
}

bool IdnAsUrbs(RawUsbDevice& device)
{
    char answer[256];
    device.BulkOut("*IDN?\n", 6);
    return device.BulkIn(answer, sizeof answer) == 31;
}

double MemcpySecondsPerMiB()
{
    std::vector<std::uint8_t> from(kMiB, 0x5A), to(kMiB);
    return SecondsPerCall(
        [&] {
            std::memcpy(to.data(), from.data(), kMiB);
            benchmark::DoNotOptimize(to.data());
            benchmark::ClobberMemory();
        },
        20);
}

}  // namespace tesmo::bench
