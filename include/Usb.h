// USB transport: synchronous URBs, descriptors and configuration, pipe and
// port recovery, bulk transfers.
//
// IRQL: every routine here runs at PASSIVE_LEVEL and blocks until its
// requests complete; SynchCallUSBD's completion routine runs at up to
// DISPATCH_LEVEL.
// Locking: UsbRequestLock guards the list of requests in flight. The pipe
// handles are written by the start while the gate is shut and read only by
// transfers counted in OutstandingIo (SendBulkTransfer); the IN packet size is
// written by the first start only.
#pragma once

#include "DeviceExtension.h"

// The size of the bulk-transfer URB on the 64-bit platform.
#define BULK_URB_SIZE 128

extern "C" {

NTSTATUS SynchCallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb, PLARGE_INTEGER Timeout);
// Cancels every request SynchCallUSBD is waiting for; they come back cancelled.
VOID CancelUsbRequestsInFlight(PDEVICE_EXTENSION DeviceExtension);

NTSTATUS ReadDescriptors(PDEVICE_OBJECT DeviceObject);
// Replaces the record's configuration descriptor (NULL: none) under
// DescriptorLock and frees the one it held. Up to DISPATCH_LEVEL.
VOID InstallConfigurationDescriptor(PDEVICE_EXTENSION DeviceExtension, PUSB_CONFIGURATION_DESCRIPTOR Descriptor,
                                    ULONG Length);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);

NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject);
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
NTSTATUS ResetParentPortIfDeviceNotEnabled(PDEVICE_OBJECT DeviceObject);

NTSTATUS ReadData(PDEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, ULONG Length, PLARGE_INTEGER Timeout,
                  PULONG BytesRead);
NTSTATUS ReadSinglePacket(PDEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, PLARGE_INTEGER Timeout, PULONG BytesRead);
NTSTATUS WriteImmediateChar(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);

// Sends a bulk transfer on the IN (In) or OUT pipe through the zeroed
// BULK_URB_SIZE block Urb and waits for it; *Submitted as SynchCallUSBD's
// own: whether it reached the bus.
NTSTATUS SendBulkTransfer(PDEVICE_EXTENSION DeviceExtension, PURB Urb, BOOLEAN In, PVOID Buffer, ULONG Length,
                          PLARGE_INTEGER Timeout, PBOOLEAN Submitted);
// Fills a zeroed BULK_URB_SIZE block as a bulk transfer on a pipe.
VOID BuildBulkTransferUrb(PURB Urb, USBD_PIPE_HANDLE PipeHandle, ULONG TransferFlags, PVOID Buffer, ULONG Length);
}
