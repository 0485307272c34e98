// The bus device: its PnP requests, the child it reports, and the control
// device through which a test plugs and unplugs the instrument.
#include "TestBus.h"

extern "C" {

NTSTATUS BusPassDown(PBUS_EXTENSION Bus, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Bus->Lower, Irp);
}

static NTSTATUS ForwardedCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits for the lower drivers; the caller
// completes it afterwards.
static NTSTATUS ForwardAndWait(PBUS_EXTENSION Bus, PIRP Irp)
{
    KEVENT Event;
    NTSTATUS Status;

    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForwardedCompletion, &Event, TRUE, TRUE, TRUE);
    Status = IoCallDriver(Bus->Lower, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = Irp->IoStatus.Status;
    }
    return Status;
}

static NTSTATUS CreateControlDevice(PBUS_EXTENSION Bus)
{
    UNICODE_STRING Name = TESTBUS_STRING(TESTBUS_CONTROL_DEVICE_NAME);
    UNICODE_STRING Link = TESTBUS_STRING(TESTBUS_CONTROL_LINK_NAME);
    PDEVICE_OBJECT Control;
    NTSTATUS Status;

    Status = IoCreateDevice(Bus->Self->DriverObject, sizeof(CONTROL_EXTENSION), &Name, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &Control);
    if (!NT_SUCCESS(Status)) {
        TestBusTrace("control device not created: 0x%x\n", (unsigned)Status);
        return Status;
    }
    ((PCONTROL_EXTENSION)Control->DeviceExtension)->Role = RoleControl;
    ((PCONTROL_EXTENSION)Control->DeviceExtension)->Bus = Bus;
    Control->Flags |= DO_BUFFERED_IO;
    Control->Flags &= ~DO_DEVICE_INITIALIZING;
    Status = IoCreateSymbolicLink(&Link, &Name);
    if (!NT_SUCCESS(Status)) {
        TestBusTrace("control link not created: 0x%x\n", (unsigned)Status);
        IoDeleteDevice(Control);
        return Status;
    }
    Bus->Control = Control;
    return STATUS_SUCCESS;
}

static VOID DeleteControlDevice(PBUS_EXTENSION Bus)
{
    UNICODE_STRING Link = TESTBUS_STRING(TESTBUS_CONTROL_LINK_NAME);

    if (Bus->Control != NULL) {
        IoDeleteSymbolicLink(&Link);
        IoDeleteDevice(Bus->Control);
        Bus->Control = NULL;
    }
}

NTSTATUS BusAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT RootPdo)
{
    PDEVICE_OBJECT Fdo;
    PBUS_EXTENSION Bus;
    NTSTATUS Status;

    TestBusTrace("add device\n");
    Status = IoCreateDevice(DriverObject, sizeof(BUS_EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &Fdo);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Bus = (PBUS_EXTENSION)Fdo->DeviceExtension;
    RtlZeroMemory(Bus, sizeof(*Bus));
    Bus->Role = RoleBus;
    Bus->Self = Fdo;
    Bus->RootPdo = RootPdo;
    KeInitializeSpinLock(&Bus->ChildLock);
    Bus->Lower = IoAttachDeviceToDeviceStack(Fdo, RootPdo);
    if (Bus->Lower == NULL) {
        IoDeleteDevice(Fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    Fdo->Flags |= DO_POWER_PAGABLE;
    Fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// The answer to a bus-relations query: the instrument while it is plugged in.
static NTSTATUS ReportChildren(PBUS_EXTENSION Bus, PIRP Irp)
{
    PDEVICE_RELATIONS Relations;
    PDEVICE_OBJECT Child;
    KIRQL Irql;

    CountUp(&Bus->Counters.RelationQueries, 1);
    if (Irp->IoStatus.Information != 0) {
        // Nothing above the bus adds children here; keep what it says.
        return BusPassDown(Bus, Irp);
    }
    Relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), TESTBUS_POOL_TAG);
    if (Relations == NULL) {
        return CompleteWith(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    Relations->Count = 0;
    Irql = KeAcquireSpinLockRaiseToDpc(&Bus->ChildLock);
    Child = Bus->Child;
    if (Child != NULL && ((PINSTRUMENT_EXTENSION)Child->DeviceExtension)->Present) {
        ObReferenceObject(Child);
        Relations->Objects[0] = Child;
        Relations->Count = 1;
    }
    KeReleaseSpinLock(&Bus->ChildLock, Irql);
    TestBusTrace("bus relations: %u child\n", (unsigned)Relations->Count);
    Irp->IoStatus.Information = (ULONG_PTR)Relations;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return BusPassDown(Bus, Irp);
}

VOID BusForgetChild(PBUS_EXTENSION Bus, PDEVICE_OBJECT Child)
{
    KIRQL Irql = KeAcquireSpinLockRaiseToDpc(&Bus->ChildLock);
    if (Bus->Child == Child) {
        Bus->Child = NULL;
    }
    KeReleaseSpinLock(&Bus->ChildLock, Irql);
}

static NTSTATUS RemoveBus(PBUS_EXTENSION Bus, PIRP Irp)
{
    NTSTATUS Status;
    PDEVICE_OBJECT Child = Bus->Child;

    DeleteControlDevice(Bus);
    // A bus that goes takes its child with it.
    if (Child != NULL) {
        BusForgetChild(Bus, Child);
        InstrumentFailPendingTransfers((PINSTRUMENT_EXTENSION)Child->DeviceExtension);
        IoDeleteDevice(Child);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Status = BusPassDown(Bus, Irp);
    IoDetachDevice(Bus->Lower);
    IoDeleteDevice(Bus->Self);
    return Status;
}

NTSTATUS BusPnp(PBUS_EXTENSION Bus, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;

    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Status = ForwardAndWait(Bus, Irp);
        if (NT_SUCCESS(Status) && Bus->Control == NULL) {
            Status = CreateControlDevice(Bus);
        }
        TestBusTrace("bus started: 0x%x\n", (unsigned)Status);
        return CompleteWith(Irp, Status, 0);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (Stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            return ReportChildren(Bus, Irp);
        }
        return BusPassDown(Bus, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveBus(Bus, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return BusPassDown(Bus, Irp);
    default:
        return BusPassDown(Bus, Irp);
    }
}

// ---- the control device ----

static NTSTATUS Plug(PBUS_EXTENSION Bus, const TESTBUS_PLUG_OPTIONS* Options)
{
    PDEVICE_OBJECT Child;
    PINSTRUMENT_EXTENSION Device;
    NTSTATUS Status;
    KIRQL Irql;
    BOOLEAN Busy;

    Irql = KeAcquireSpinLockRaiseToDpc(&Bus->ChildLock);
    Busy = Bus->Child != NULL ? TRUE : FALSE;
    KeReleaseSpinLock(&Bus->ChildLock, Irql);
    if (Busy) {
        return STATUS_DEVICE_BUSY;
    }

    Status = IoCreateDevice(Bus->Self->DriverObject, sizeof(INSTRUMENT_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                            FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &Child);
    if (!NT_SUCCESS(Status)) {
        TestBusTrace("instrument device not created: 0x%x\n", (unsigned)Status);
        return Status;
    }
    Device = (PINSTRUMENT_EXTENSION)Child->DeviceExtension;
    RtlZeroMemory(Device, sizeof(*Device));
    Device->Role = RoleInstrument;
    Device->Self = Child;
    Device->Bus = Bus;
    Device->Options = *Options;
    Device->Present = 1;
    KeInitializeSpinLock(&Device->Lock);
    InitializeListHead(&Device->PendingIn);
    InstrumentReset(&Device->Instrument);
    Child->Flags |= DO_POWER_PAGABLE;
    Child->Flags &= ~DO_DEVICE_INITIALIZING;

    // A new instrument's counters start from zero; the bus's own go on.
    unsigned int RelationQueries = Bus->Counters.RelationQueries;
    RtlZeroMemory(&Bus->Counters, sizeof(Bus->Counters));
    Bus->Counters.RelationQueries = RelationQueries;
    Bus->Counters.Plugged = 1;
    Irql = KeAcquireSpinLockRaiseToDpc(&Bus->ChildLock);
    Bus->Child = Child;
    KeReleaseSpinLock(&Bus->ChildLock, Irql);

    TestBusTrace("instrument plugged in%s\n", Options->RefuseConfiguration ? " (refusing configuration)" : "");
    IoInvalidateDeviceRelations(Bus->RootPdo, BusRelations);
    return STATUS_SUCCESS;
}

static NTSTATUS Unplug(PBUS_EXTENSION Bus)
{
    PDEVICE_OBJECT Child;
    KIRQL Irql;

    Irql = KeAcquireSpinLockRaiseToDpc(&Bus->ChildLock);
    Child = Bus->Child;
    if (Child != NULL && InterlockedExchange(&((PINSTRUMENT_EXTENSION)Child->DeviceExtension)->Present, 0) == 0) {
        Child = NULL;  // unplugged already, removal under way
    }
    if (Child != NULL) {
        // Any enumeration from now on may remove and delete it.
        ObReferenceObject(Child);
    }
    KeReleaseSpinLock(&Bus->ChildLock, Irql);
    if (Child == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }
    Bus->Counters.Plugged = 0;
    // The hardware is gone at once; the PnP manager learns of it below.
    InstrumentFailPendingTransfers((PINSTRUMENT_EXTENSION)Child->DeviceExtension);
    ObDereferenceObject(Child);
    TestBusTrace("instrument unplugged\n");
    IoInvalidateDeviceRelations(Bus->RootPdo, BusRelations);
    return STATUS_SUCCESS;
}

static NTSTATUS DisablePort(PBUS_EXTENSION Bus)
{
    PDEVICE_OBJECT Child;
    KIRQL Irql = KeAcquireSpinLockRaiseToDpc(&Bus->ChildLock);

    Child = Bus->Child;
    if (Child != NULL && ((PINSTRUMENT_EXTENSION)Child->DeviceExtension)->Present) {
        InterlockedExchange(&((PINSTRUMENT_EXTENSION)Child->DeviceExtension)->PortDisabled, 1);
    } else {
        Child = NULL;
    }
    KeReleaseSpinLock(&Bus->ChildLock, Irql);
    return Child != NULL ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS ControlDeviceControl(PCONTROL_EXTENSION Control, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG In = Stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG Out = Stack->Parameters.DeviceIoControl.OutputBufferLength;

    switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TESTBUS_PLUG:
        if (In < sizeof(TESTBUS_PLUG_OPTIONS)) {
            return CompleteWith(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        return CompleteWith(Irp, Plug(Control->Bus, (const TESTBUS_PLUG_OPTIONS*)Buffer), 0);
    case IOCTL_TESTBUS_UNPLUG:
        return CompleteWith(Irp, Unplug(Control->Bus), 0);
    case IOCTL_TESTBUS_DISABLE_PORT:
        return CompleteWith(Irp, DisablePort(Control->Bus), 0);
    case IOCTL_TESTBUS_ENUMERATE:
        if (Out < sizeof(unsigned int)) {
            return CompleteWith(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        *(unsigned int*)Buffer = Control->Bus->Counters.RelationQueries;
        IoInvalidateDeviceRelations(Control->Bus->RootPdo, BusRelations);
        return CompleteWith(Irp, STATUS_SUCCESS, sizeof(unsigned int));
    case IOCTL_TESTBUS_COUNTERS:
        if (Out < sizeof(TESTBUS_COUNTERS)) {
            return CompleteWith(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        RtlCopyMemory(Buffer, &Control->Bus->Counters, sizeof(TESTBUS_COUNTERS));
        return CompleteWith(Irp, STATUS_SUCCESS, sizeof(TESTBUS_COUNTERS));
    default:
        return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

}  // extern "C"
