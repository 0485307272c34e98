// Entry points and dispatch routines of the driver frame.
//
// IRQL: DriverEntry, Unload and the dispatch routines run at PASSIVE_LEVEL;
// HandleSystemControlIrp passes the request on unchanged and is resident.
#pragma once

#include "DeviceExtension.h"

#define TESMO_VERSION "1.5.0.0022"

extern "C" {

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID Unload(PDRIVER_OBJECT DriverObject);
NTSTATUS HandleSystemControlIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

}
