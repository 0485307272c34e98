// Power management: the dispatch routine, system and device power, wait-wake.
//
// IRQL: the dispatch routine and handlers run at PASSIVE_LEVEL (the device
// object is power-pageable); the completion routines run at up to
// DISPATCH_LEVEL and are resident; PowerWaitWorkItem runs in a system worker
// thread at PASSIVE_LEVEL.
// Locking: the remove lock is held for every power request until it is
// finished or passed on; PendingSystemPowerIrp relies on the power manager
// sending one system and one device power request at a time; WaitWakeIrp and
// WaitWakeCancelFlag change only by atomic exchanges.
#pragma once

#include "DeviceExtension.h"

extern "C" {

DRIVER_DISPATCH HandlePowerIrp;
VOID CancelWaitWake(PDEVICE_EXTENSION DeviceExtension);

// The D-state per S-state until the bus reports the device's capabilities (and
// after it failed to): D0 in S0 (working), D3 in every other. PASSIVE_LEVEL.
VOID ResetDeviceStateMap(PDEVICE_EXTENSION DeviceExtension);

}
