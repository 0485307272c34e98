// The line settings of a Linux pseudo-terminal as its client set them with
// termios (any baud rate, through the kernel's termios2), and the raw mode a
// bridge gives it to begin with.
#pragma once

#include <optional>

#include "link/LineSettings.h"

namespace tesmo::sim {

std::optional<LineSettings> ReadPtySettings(int fd);
// Raw (no echo, no line editing, no translation) at these settings.
bool MakePtyRaw(int fd, const LineSettings& settings);

}  // namespace tesmo::sim
