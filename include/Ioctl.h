// The serial I/O-control emulation.
//
// IRQL: PASSIVE_LEVEL in the requesting thread (pageable). Holds requests in
// the cancel-safe queue while the queue state is HoldRequests; holds the remove
// lock across its USB calls otherwise. SerialSettings is guarded by
// SerialSettingsLock.
#pragma once

#include "DeviceExtension.h"

extern "C" {

DRIVER_DISPATCH HandleDeviceControlIrp;

}
