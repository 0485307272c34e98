// A request's name for the timeline: its major function ("READ",
// "DEVICE_CONTROL"), and for PnP and power requests the minor one too
// ("PNP START_DEVICE", "POWER SET_POWER"). Private to the emulation.
//
// Pure; any thread, any IRQL.
#pragma once

#include <cstdint>
#include <string>

namespace emu::detail {

std::string RequestName(std::uint8_t major, std::uint8_t minor);

}  // namespace emu::detail
