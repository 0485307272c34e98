// The serial front end's open, close, cleanup, read and write, and the
// ownership of the reassembly buffer.
//
// IRQL: dispatch routines at PASSIVE_LEVEL in the requesting thread
// (pageable); they block during their USB transfers. AcquireDevExtBuffer waits
// and needs PASSIVE_LEVEL; ReleaseDevExtBuffer runs at up to DISPATCH_LEVEL.
// Locking: the reassembly buffer passes between threads by an atomic exchange
// of StaticBuffer and the auto-reset StaticBufferEvent; reads, purges and
// status queries of one device are serialised by it.
#pragma once

#include "DeviceExtension.h"

extern "C" {

NTSTATUS HandleCreateIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleCloseIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleCleanupIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleReadIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleWriteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

PUCHAR AcquireDevExtBuffer(PDEVICE_EXTENSION DeviceExtension);
PUCHAR ReleaseDevExtBuffer(PDEVICE_EXTENSION DeviceExtension, PUCHAR Buffer);

}
