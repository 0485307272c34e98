// What guards each field of the driver's device record and each of its
// globals, as include/DeviceExtension.h and the units document it, given to
// the emulation's race detector (emu/Races.h) so that a finding names the
// field and the rule it broke. Hosts that load an instrumented image call
// DescribeDriverGuards once before they boot.
#pragma once

#include <vector>

#include "emu/Races.h"

namespace tesmo {

// The device record's fields with their guards, by offset.
std::vector<emu::GuardedField> DeviceRecordGuards();

// Registers the record and the globals with the race detector. Idempotent.
void DescribeDriverGuards();

}  // namespace tesmo
