#include "SerialCodes.h"

#include "TesmoIoctl.h"
#include "emu_ntddser.h"

namespace tesmo::fuzz {

namespace {

constexpr ULONG kSerialDevice = 0x1B;      // FILE_DEVICE_SERIAL_PORT
constexpr ULONG kLastSerialFunction = 39;  // IOCTL_SERIAL_SET_FIFO_CONTROL
constexpr ULONG kOwnCodes[] = {IOCTL_READ_DEVICE_DESCRIPTOR, IOCTL_READ_CONFIG_DESCRIPTOR, IOCTL_RESET_PARENT_PORT,
                               IOCTL_RESET_PIPE};

ULONG ConsumeCode(FuzzedDataProvider& input)
{
    switch (input.ConsumeIntegralInRange(0, 15)) {
    case 0: return input.ConsumeIntegral<ULONG>();
    case 1: return kOwnCodes[input.ConsumeIntegralInRange<std::size_t>(0, std::size(kOwnCodes) - 1)];
    default:
        // A serial function past the last one now and then: unknown to the driver.
        return (kSerialDevice << 16) | (input.ConsumeIntegralInRange<ULONG>(1, kLastSerialFunction + 2) << 2);
    }
}

ULONG ConsumeLength(FuzzedDataProvider& input)
{
    if (input.ConsumeIntegralInRange(0, 15) == 0) return input.ConsumeIntegralInRange<ULONG>(0, 4096);
    return input.ConsumeIntegralInRange<ULONG>(0, 72);
}

}  // namespace

ControlRequest ConsumeControl(FuzzedDataProvider& input)
{
    ControlRequest request;
    request.code = ConsumeCode(input);
    ULONG inputLength = ConsumeLength(input);
    request.outputLength = ConsumeLength(input);
    request.input = input.ConsumeBytes<UCHAR>(inputLength);
    return request;
}

test::Bytes ConsumeTimeouts(FuzzedDataProvider& input)
{
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = input.ConsumeIntegralInRange<ULONG>(0, 50);
    timeouts.ReadTotalTimeoutMultiplier = input.ConsumeIntegralInRange<ULONG>(0, 5);
    timeouts.ReadTotalTimeoutConstant = input.ConsumeIntegralInRange<ULONG>(0, 500);
    timeouts.WriteTotalTimeoutMultiplier = input.ConsumeIntegralInRange<ULONG>(0, 5);
    timeouts.WriteTotalTimeoutConstant = input.ConsumeIntegralInRange<ULONG>(0, 500);
    return test::BytesOf(timeouts);
}

}  // namespace tesmo::fuzz
