// The request queue: the cancel-safe queue's six callbacks and the processing
// of held requests.
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

VOID KavrelInsertIrpEx(PIO_CSQ Csq, PIRP Irp);
VOID KavrelRemoveIrp(PIO_CSQ Csq, PIRP Irp);
PIRP KavrelPeekNextIrp(PIO_CSQ Csq, PIRP Irp, PVOID PeekContext);
VOID KavrelAcquireLock(PIO_CSQ Csq, PKIRQL Irql);
VOID KavrelReleaseLock(PIO_CSQ Csq, KIRQL Irql);
VOID KavrelCompleteCanceledIrp(PIO_CSQ Csq, PIRP Irp);

VOID ProcessQueuedIrps(PDEVICE_EXTENSION DeviceExtension);

}
