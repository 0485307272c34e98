// Entry of the test bus driver and the routing of requests by device role.
#include "TestBus.h"

extern "C" {

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

VOID CountUp(volatile unsigned int* Counter, ULONG Amount)
{
    InterlockedExchangeAdd((volatile LONG*)Counter, (LONG)Amount);
}

static DEVICE_ROLE RoleOf(PDEVICE_OBJECT DeviceObject)
{
    return *(DEVICE_ROLE*)DeviceObject->DeviceExtension;
}

static NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    switch (RoleOf(DeviceObject)) {
    case RoleBus:
        return BusPnp((PBUS_EXTENSION)DeviceObject->DeviceExtension, Irp);
    case RoleInstrument:
        return InstrumentPnp((PINSTRUMENT_EXTENSION)DeviceObject->DeviceExtension, Irp);
    default:
        return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS Status;

    switch (RoleOf(DeviceObject)) {
    case RoleBus:
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(((PBUS_EXTENSION)DeviceObject->DeviceExtension)->Lower, Irp);
    case RoleInstrument:
        return InstrumentPower((PINSTRUMENT_EXTENSION)DeviceObject->DeviceExtension, Irp);
    default:
        PoStartNextPowerIrp(Irp);
        Status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return Status;
    }
}

// Opening and closing: only the control device may be opened.
static NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (RoleOf(DeviceObject) != RoleControl) {
        return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    return CompleteWith(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (RoleOf(DeviceObject) != RoleControl) {
        return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    return ControlDeviceControl((PCONTROL_EXTENSION)DeviceObject->DeviceExtension, Irp);
}

static NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (RoleOf(DeviceObject) != RoleInstrument) {
        return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    return InstrumentInternalDeviceControl((PINSTRUMENT_EXTENSION)DeviceObject->DeviceExtension, Irp);
}

// WMI: the bus passes it on, the instrument leaves it as it came.
static NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS Status;

    if (RoleOf(DeviceObject) == RoleBus) {
        return BusPassDown((PBUS_EXTENSION)DeviceObject->DeviceExtension, Irp);
    }
    Status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static VOID Unload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    TestBusTrace("unload\n");
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    TestBusTrace("driver entry\n");
    DriverObject->DriverUnload = Unload;
    DriverObject->DriverExtension->AddDevice = BusAddDevice;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    return STATUS_SUCCESS;
}

}  // extern "C"
