// Plug and Play: the dispatch routine, start and COM-port publication, stop
// and removal, capabilities.
//
// IRQL: PASSIVE_LEVEL, pageable; the PnP manager sends one request at a time.
// Locking: the remove lock is held around each request; PnpState is a plain
// store read by other paths without a lock, QueueState is set through
// SetQueueState.
#pragma once

#include "DeviceExtension.h"

extern "C" {

DRIVER_DISPATCH HandlePnpIrp;

}
