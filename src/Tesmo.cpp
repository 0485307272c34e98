// The driver frame: entry, unload and the system-control pass-through.
#include "Tesmo.h"

#include "DebugPrint.h"

extern "C" {

LONG DeviceInstanceCounter = 0;

TESMO_INIT NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    DebugPrint(4, DBG_DRIVER,
               "**********************************************************************************\n");
    DebugPrint(4, DBG_DRIVER, "Tesmo.c: DriverEntry ENTRY %s %s:%s\n", TESMO_VERSION, __DATE__, __TIME__);

    DriverObject->DriverUnload = Unload;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = HandleSystemControlIrp;
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    DebugPrint(4, DBG_DRIVER, "Tesmo.c: DriverEntry Unload\n");
}

NTSTATUS HandleSystemControlIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
}

}  // extern "C"
