// Bytes as text for a message: \n, \r, \t and \\ as escapes, other control
// and non-ASCII bytes as \xHH, so that what is printed shows exactly what
// went over the port.
#pragma once

#include <string>
#include <string_view>

namespace tesmo::sim {

std::string Printable(std::string_view bytes);

}  // namespace tesmo::sim
