// Plug and Play: the dispatch routine, start and COM-port publication, stop
// and removal, capabilities.
//
// IRQL: PASSIVE_LEVEL, pageable; the PnP manager sends one request at a time.
// Locking: the remove lock is held around each request; PnpState and
// QueueState are plain stores read by other paths without a lock.
#pragma once

#include "DeviceExtension.h"

extern "C" {

DRIVER_DISPATCH HandlePnpIrp;

}
