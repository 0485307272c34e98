// Plug and Play: the dispatch routine, start and COM-port publication, stop
// and removal, capabilities.
//
// IRQL: PASSIVE_LEVEL, pageable; the PnP manager sends one request at a time.
// Locking: the remove lock is held around each request; PnpState and
// QueueState are plain stores read by other paths without a lock.
#pragma once

#include "DeviceExtension.h"

extern "C" {

NTSTATUS HandlePnpIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS GetRegistryKeyValue(HANDLE Handle, PWSTR KeyNameString, ULONG KeyNameStringLength, PVOID Data,
                             ULONG DataLength);
NTSTATUS HandleQueryStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleCancelStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleQueryRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleCancelRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID ReleaseMemory(PDEVICE_EXTENSION DeviceExtension);
VOID ReleaseUsbdIfcInfoList(PDEVICE_EXTENSION DeviceExtension);

}
