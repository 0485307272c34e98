// The request queue: the cancel-safe queue over PendingIrpList with its six
// callbacks, and the processing of held requests.
//
// IRQL: the callbacks run at up to DISPATCH_LEVEL (insert, remove and peek
// with QueueLock held); ProcessQueuedIrps runs at PASSIVE_LEVEL because the
// dispatch routines it calls may wait for USB transfers.
// Locking: QueueLock guards PendingIrpList and QueuedIrpCount; the library
// takes it through KavrelAcquireLock/KavrelReleaseLock around every insert,
// remove and peek.
#pragma once

#include "DeviceExtension.h"

extern "C" {

// Sets up the list, its lock and the cancel-safe queue over them (AddDevice).
VOID InitializeRequestQueue(PDEVICE_EXTENSION DeviceExtension);
VOID ProcessQueuedIrps(PDEVICE_EXTENSION DeviceExtension);

// The queue's peek callback, exported also for the tests of which requests
// a peek passes over.
IO_CSQ_PEEK_NEXT_IRP KavrelPeekNextIrp;

}
