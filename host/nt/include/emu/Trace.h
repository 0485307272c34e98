// The trace sink: where the driver's DebugPrint lines go when something is
// listening. With no sink attached the driver does not even format them.
//
// Thread-safe; the sink is called on the tracing thread, at its IRQL, and must
// not block.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace emu {

using TraceSink = std::function<void(std::uint32_t level, std::uint32_t component, std::string_view text)>;

}  // namespace emu
