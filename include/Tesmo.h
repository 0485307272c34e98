// Entry points of the driver frame: loading, device creation and teardown,
// outstanding-I/O accounting, the remove lock's traced hold, synchronous
// forwarding and the ownership of the reassembly buffer.
//
// IRQL: DriverEntry runs at PASSIVE_LEVEL and is discardable; AddDevice (not
// an entry point of its own: DriverEntry hands it to the PnP manager) is
// pageable. Kavrel_IoIncrement/Kavrel_IoDecrement and the completion routines
// run at up to DISPATCH_LEVEL and are resident; they take no lock
// (OutstandingIo changes only by interlocked operations). WaitForUsbQuiet
// waits and runs at PASSIVE_LEVEL.
#pragma once

#include "DeviceExtension.h"

#define TESMO_VERSION "1.5.0.0022"

// How long a stop, removal or power change waits for USB requests in flight
// before it cancels them (relative time, 100-ns units): 5 seconds.
#define USB_QUIET_WAIT_BOUND (-5LL * 1000 * 1000 * 10)

extern "C" {

// The device interface class of the port: {7E5D8DA7-540B-4940-A4DF-9383A9A1C215}.
extern const GUID GUID_DEVINTERFACE_TESMO;

DRIVER_INITIALIZE DriverEntry;

// Frees everything the device record owns, whatever of it exists: the one
// teardown of a device, after a failed AddDevice and at removal. The caller
// has withdrawn what was published and deletes the device object. PASSIVE_LEVEL.
VOID ReleaseDeviceStorage(PDEVICE_EXTENSION DeviceExtension);

NTSTATUS Kavrel_IoIncrement(PDEVICE_EXTENSION DeviceExtension);
// The start's own USB requests (descriptors, the configuration) pass the gate
// it keeps shut until the pipes are chosen; removal's closed gate stops them.
NTSTATUS Kavrel_IoIncrementForStart(PDEVICE_EXTENSION DeviceExtension);
NTSTATUS Kavrel_IoDecrement(PDEVICE_EXTENSION DeviceExtension);

// The remove lock's hold for a PnP, power, create or device-control request,
// counted in RemoveLockCount for the traces: stepped before the lock is taken
// (and back when the lock refuses) and before it is given back. Where is the
// caller's trace prefix ("Pnp.c:HandlePnpIrp-"), Purpose what follows the
// count ("" or " for system IRP"). Both ends of a hold are traced under
// DBG_POWER, so that a component mask shows both or neither. Resident: a
// completion routine releases at up to DISPATCH_LEVEL.
NTSTATUS AcquireRemoveHold(PDEVICE_EXTENSION DeviceExtension, PCSTR Where);
VOID ReleaseRemoveHold(PDEVICE_EXTENSION DeviceExtension, PCSTR Where, PCSTR Purpose);

// Completes a request of ours with this status and count; returns the status.
// Resident: the queue completes cancelled requests at up to DISPATCH_LEVEL.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

// Set the event that is their context and keep the request: whoever sent it
// waits for the event and owns the request again afterwards. The first, for
// forwarded PnP requests, traces; the second, for USB requests, does not.
IO_COMPLETION_ROUTINE SynchCompletionRoutine;
IO_COMPLETION_ROUTINE UsbRequestCompletionRoutine;

// Waits until no synchronous USB request is in flight. The wait is bounded:
// when USB_QUIET_WAIT_BOUND passes, the requests still in flight are cancelled
// and waited for (the queue state already refuses new ones). Returns the
// status of the last wait.
NTSTATUS WaitForUsbQuiet(PDEVICE_EXTENSION DeviceExtension);

// The reassembly buffer passes between threads by an atomic exchange of
// StaticBuffer and the auto-reset StaticBufferEvent: Acquire waits for it
// (PASSIVE_LEVEL), Release hands it back (up to DISPATCH_LEVEL) and returns
// what StaticBuffer held before.
PUCHAR AcquireDevExtBuffer(PDEVICE_EXTENSION DeviceExtension);
PUCHAR ReleaseDevExtBuffer(PDEVICE_EXTENSION DeviceExtension, PUCHAR Buffer);
}
