// What the tool prints for a failure: the Win32 error, NTSTATUS or
// control-library result by its name, with a short reason a user can act
// on, instead of a bare number ("ERROR_GEN_FAILURE (31): the device is not
// working: asleep, stopping or removed"). Plain tables: the event-log
// decoder names the statuses it shows with them too.
#pragma once

#include <cstdint>
#include <string>

#include "tesmo/control.h"

namespace tesmo::sim {

std::string Win32ErrorText(std::uint32_t error);
std::string NtStatusText(std::int32_t status);
std::string ResultText(tesmo_result result);
// errno, as strerror words it, with its symbolic name.
std::string ErrnoText(int error);

}  // namespace tesmo::sim
