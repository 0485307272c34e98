// The I/O controls the fuzz targets send, read from the input: mostly the
// serial codes the driver answers and its own, now and then any code at
// all; input bytes and output room mostly around the size of the serial
// structures, now and then far beyond.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include "PortRequest.h"

namespace tesmo::fuzz {

struct ControlRequest {
    ULONG code;
    test::Bytes input;
    ULONG outputLength;
};

ControlRequest ConsumeControl(FuzzedDataProvider& input);

// Read time-outs that end (SERIAL_TIMEOUTS, 20 bytes): IOCTL_SERIAL_SET_TIMEOUTS's input.
test::Bytes ConsumeTimeouts(FuzzedDataProvider& input);

}  // namespace tesmo::fuzz
