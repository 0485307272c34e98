// The serial front end's open, close, cleanup, read and write.
//
// IRQL: dispatch routines at PASSIVE_LEVEL in the requesting thread
// (pageable); they block during their USB transfers.
// Locking: reads, purges and status queries of one device are serialised by
// the reassembly buffer (AcquireDevExtBuffer, Tesmo.h).
#pragma once

#include "DeviceExtension.h"

extern "C" {

DRIVER_DISPATCH HandleCreateIrp;
DRIVER_DISPATCH HandleCloseOrCleanupIrp;
DRIVER_DISPATCH HandleReadIrp;
DRIVER_DISPATCH HandleWriteIrp;

}
