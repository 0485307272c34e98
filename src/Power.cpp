// Power management: the dispatch routine, system power (turned into device
// power requests), device power, and wait-wake.
#include "Power.h"

#include "DebugPrint.h"
#include "EventLog.h"
#include "NameTables.h"
#include "Queue.h"
#include "Tesmo.h"

extern "C" {

static NTSTATUS HandleSystemQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static NTSTATUS HandleDeviceQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
static IO_COMPLETION_ROUTINE QuerySystemPowerCompletionRoutine;
static IO_COMPLETION_ROUTINE SetS0CompletionRoutine;
static IO_COMPLETION_ROUTINE QueryDxCompletionRoutine;
static IO_COMPLETION_ROUTINE SetDStateCompletionRoutine;
static IO_COMPLETION_ROUTINE WaitWakeCompletionRoutine;
static IO_WORKITEM_ROUTINE PowerWaitWorkItem;
static IO_WORKITEM_ROUTINE DrainWorkItemRoutine;

TESMO_PAGED VOID ResetDeviceStateMap(PDEVICE_EXTENSION DeviceExtension)
{
    ULONG Index;

    PAGED_CODE();
    DeviceExtension->DeviceStateMap[0] = PowerDeviceD3;
    DeviceExtension->DeviceStateMap[1] = PowerDeviceD0;
    for (Index = 2; Index < DEVICE_STATE_MAP_ENTRIES; Index++) {
        DeviceExtension->DeviceStateMap[Index] = PowerDeviceD3;
    }
}

// The D-state the device takes for a system state (a state the table does
// not cover gets the deepest).
static DEVICE_POWER_STATE MappedDeviceState(PDEVICE_EXTENSION DeviceExtension, SYSTEM_POWER_STATE SystemState)
{
    if ((ULONG)SystemState >= DEVICE_STATE_MAP_ENTRIES) {
        return PowerDeviceD3;
    }
    return DeviceExtension->DeviceStateMap[SystemState];
}

TESMO_PAGED NTSTATUS HandlePowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR MinorFunction = Stack->MinorFunction;
    NTSTATUS Status;

    PAGED_CODE();
    DebugPrint(4, DBG_POWER, "Power.c:HandlePowerIrp ENTRY (0x%x = %s). Device state map = 0x%lx\n", MinorFunction,
               PowerMinorFunctionString(MinorFunction), DeviceStateWord(DeviceExtension));
    LogEvent(DeviceExtension, "Pwr>", LOG_POINTER(Irp), LOG_UNSIGNED(MinorFunction), LOG_STATE(DeviceExtension));

    Status = AcquireRemoveHold(DeviceExtension, "Power.c:HandlePowerIrp-");
    if (!NT_SUCCESS(Status)) {
        PoStartNextPowerIrp(Irp);
        return CompleteRequest(Irp, Status, 0);
    }

    switch (MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        if (InterlockedExchange(&DeviceExtension->WaitWakeIssuing, 0) == 0) {
            // Someone else's request: it may stay in the bus long after this
            // device is gone, so it takes nothing of the device with it.
            PoStartNextPowerIrp(Irp);
            IoSkipCurrentIrpStackLocation(Irp);
            Status = PoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
            ReleaseRemoveHold(DeviceExtension, "Power.c:HandlePowerIrp-", "");
            break;
        }
        // The driver's own, asked for just now: known from here on by identity,
        // with a fresh hand-off between its completion and its cancellation.
        DeviceExtension->OwnWaitWakeIrp = Irp;
        InterlockedExchange(&DeviceExtension->WaitWakeCancelFlag, 0);
        InterlockedExchangePointer((PVOID volatile*)&DeviceExtension->WaitWakeIrp, Irp);
        IoMarkIrpPending(Irp);
        PoStartNextPowerIrp(Irp);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, WaitWakeCompletionRoutine, DeviceExtension, TRUE, TRUE, TRUE);
        PoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
        Status = STATUS_PENDING;
        break;
    case IRP_MN_SET_POWER:
        Status = (Stack->Parameters.Power.Type == SystemPowerState) ? HandleSystemSetPower(DeviceObject, Irp)
                                                                    : HandleDeviceSetPower(DeviceObject, Irp);
        break;
    case IRP_MN_QUERY_POWER:
        Status = (Stack->Parameters.Power.Type == SystemPowerState) ? HandleSystemQueryPower(DeviceObject, Irp)
                                                                    : HandleDeviceQueryPower(DeviceObject, Irp);
        break;
    default:
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        Status = PoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
        ReleaseRemoveHold(DeviceExtension, "Power.c:HandlePowerIrp-", "");
        break;
    }

    DebugPrint(4, DBG_POWER, "Power.c:HandlePowerIrp EXIT with status 0x%lx (0x%x = %s). Device state map = 0x%lx\n",
               Status, MinorFunction, PowerMinorFunctionString(MinorFunction), DeviceStateWord(DeviceExtension));
    return Status;
}

static TESMO_PAGED NTSTATUS HandleSystemQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    PAGED_CODE();
    DebugPrint(4, DBG_POWER, "Power.c:HandleSystemQueryPower ENTRY\n");
    LogEvent(DeviceExtension, "HSQ>", LOG_POINTER(Irp), LOG_UNSIGNED(IoGetCurrentIrpStackLocation(Irp)->MinorFunction),
             LOG_STATE(DeviceExtension));
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    DeviceExtension->PendingSystemPowerIrp = Irp;
    IoSetCompletionRoutine(Irp, QuerySystemPowerCompletionRoutine, DeviceExtension, TRUE, TRUE, TRUE);
    PoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
    DebugPrint(4, DBG_POWER, "Power.c:HandleSystemQueryPower EXIT with status STATUS_PENDING (0x%lx)\n",
               STATUS_PENDING);
    return STATUS_PENDING;
}

static NTSTATUS QuerySystemPowerCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)Context;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status = Irp->IoStatus.Status;
    NTSTATUS RequestStatus;
    POWER_STATE PowerState;

    UNREFERENCED_PARAMETER(DeviceObject);
    DebugPrint(4, DBG_POWER, "Power.c:QuerySystemPowerCompletionRoutine ENTRY\n");
    LogEvent(DeviceExtension, "QSC>", LOG_POINTER(Irp), LOG_SIGNED(Status), LOG_STATE(DeviceExtension));

    if (!NT_SUCCESS(Status)) {
        PoStartNextPowerIrp(Irp);
        DebugPrint(4, DBG_POWER, "Power.c:QuerySystemPowerCompletionRoutine EXIT with status 0x%lx\n", Status);
        DeviceExtension->PendingSystemPowerIrp = NULL;
        ReleaseRemoveHold(DeviceExtension, "Power.c:QuerySystemPowerCompletionRoutine-", "");
        return Status;
    }

    PowerState.DeviceState = MappedDeviceState(DeviceExtension, Stack->Parameters.Power.State.SystemState);
    RequestStatus =
        PoRequestPowerIrp(DeviceExtension->FunctionalDeviceObject, IRP_MN_QUERY_POWER, PowerState, NULL, NULL, NULL);
    if (RequestStatus != STATUS_PENDING) {
        // No device query will come to finish the system query: it completes
        // upward now, once, with the refusal.
        Irp->IoStatus.Status = RequestStatus;
        DeviceExtension->PendingSystemPowerIrp = NULL;
        PoStartNextPowerIrp(Irp);
        DebugPrint(4, DBG_POWER, "Power.c:QuerySystemPowerCompletionRoutine EXIT with status 0x%lx\n", RequestStatus);
        ReleaseRemoveHold(DeviceExtension, "Power.c:QuerySystemPowerCompletionRoutine-", "");
        return RequestStatus;
    }
    DebugPrint(4, DBG_POWER,
               "Power.c:QuerySystemPowerCompletionRoutine EXIT with status STATUS_MORE_PROCESSING_REQUIRED (0x%lx)\n",
               STATUS_MORE_PROCESSING_REQUIRED);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static TESMO_PAGED NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    SYSTEM_POWER_STATE SystemState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
    POWER_STATE PowerState;
    NTSTATUS RequestStatus;

    PAGED_CODE();
    DebugPrint(4, DBG_POWER, "Power.c:HandleSystemSetPower ENTRY to state S%d (current state = S%d\n",
               (int)SystemState - 1, (int)ReadSharedULong((ULONG volatile*)&DeviceExtension->SystemPowerState) - 1);
    LogEvent(DeviceExtension, "HSS>", LOG_POINTER(Irp), 0, LOG_STATE(DeviceExtension));
    IoMarkIrpPending(Irp);

    if (SystemState == PowerSystemWorking) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, SetS0CompletionRoutine, DeviceExtension, TRUE, TRUE, TRUE);
        PoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
    } else {
        DeviceExtension->PendingSystemPowerIrp = Irp;
        WriteSharedULong((ULONG volatile*)&DeviceExtension->SystemPowerState, (ULONG)SystemState);
        PowerState.DeviceState = MappedDeviceState(DeviceExtension, SystemState);
        RequestStatus =
            PoRequestPowerIrp(DeviceExtension->FunctionalDeviceObject, IRP_MN_SET_POWER, PowerState, NULL, NULL, NULL);
        if (RequestStatus != STATUS_PENDING) {
            DebugPrint(3, DBG_POWER, "Power.c:HandleSystemSetPower-PoRequestPowerIrp returned status 0x%lx\n",
                       RequestStatus);
            // Passed down here, so no device completion may pass it again.
            DeviceExtension->PendingSystemPowerIrp = NULL;
            ReleaseRemoveHold(DeviceExtension, "Power.c:HandleSystemSetPower-", "");
            PoStartNextPowerIrp(Irp);
            IoSkipCurrentIrpStackLocation(Irp);
            PoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
            return STATUS_PENDING;
        }
    }
    DebugPrint(4, DBG_POWER, "Power.c:HandleSystemSetPower EXIT with status STATUS_PENDING (0x%lx)\n", STATUS_PENDING);
    return STATUS_PENDING;
}

static NTSTATUS SetS0CompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)Context;
    NTSTATUS Status = Irp->IoStatus.Status;
    POWER_STATE PowerState;

    UNREFERENCED_PARAMETER(DeviceObject);
    DebugPrint(4, DBG_POWER, "Power.c:SetS0CompletionRoutine ENTRY\n");
    PowerState.DeviceState = PowerDeviceD0;
    PoRequestPowerIrp(DeviceExtension->FunctionalDeviceObject, IRP_MN_SET_POWER, PowerState, NULL, NULL, NULL);
    WriteSharedULong((ULONG volatile*)&DeviceExtension->SystemPowerState, (ULONG)PowerSystemWorking);
    PoStartNextPowerIrp(Irp);
    ReleaseRemoveHold(DeviceExtension, "Power.c:SetS0CompletionRoutine-", "");
    DebugPrint(4, DBG_POWER, "Power.c:SetS0CompletionRoutine EXIT with status 0x%lx\n", Status);
    return Status;
}

// Hands a device power request to the work item that waits for USB quiet
// before passing it down. FALSE when it cannot: the device is being removed,
// or the item is still queued or running for another request (queueing it
// again would lose one of them); the caller then waits in its own thread.
static TESMO_PAGED BOOLEAN QueuePowerWait(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    PAGED_CODE();
    if (InterlockedExchange(&DeviceExtension->WorkItemQueued, 1) != 0) {
        DebugPrint(3, DBG_POWER, "Power.c:QueuePowerWait-work item busy, waiting in the caller\n");
        return FALSE;
    }
    if (!NT_SUCCESS(IoAcquireRemoveLock(&DeviceExtension->RequestLock, TESMO_LOCK_TAG))) {
        InterlockedExchange(&DeviceExtension->WorkItemQueued, 0);
        return FALSE;
    }
    IoMarkIrpPending(Irp);
    IoQueueWorkItem(DeviceExtension->WorkItem, PowerWaitWorkItem, DelayedWorkQueue, Irp);
    return TRUE;
}

static TESMO_PAGED NTSTATUS HandleDeviceQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    LONG Quiet;

    PAGED_CODE();
    DebugPrint(4, DBG_POWER, "Power.c:HandleDeviceQueryPower ENTRY\n");
    LogEvent(DeviceExtension, "HDQ>", LOG_POINTER(Irp), LOG_UNSIGNED(IoGetCurrentIrpStackLocation(Irp)->MinorFunction),
             LOG_STATE(DeviceExtension));
    Quiet = KeReadStateEvent(&DeviceExtension->NoPendingUsbTranfers);
    LogEvent(DeviceExtension, "HDQ0", LOG_SIGNED(Quiet),
             LOG_SIGNED(TESMO_UNGUARDED_READ(DeviceExtension->OutstandingIo, "a count for the event log")), 0);
    if (SetQueueStateUnlessFailing(DeviceExtension, HoldRequests)) {
        DebugPrint(4, DBG_POWER, "Power.c:HandleDeviceQueryPower-changing QueueState to HoldRequests (%d)\n",
                   HoldRequests);
    }

    if (!Quiet) {
        if (QueuePowerWait(DeviceExtension, Irp)) {
            DebugPrint(4, DBG_POWER, "Power.c:HandleDeviceQueryPower (1) EXIT with status STATUS_PENDING (0x%lx)\n",
                       STATUS_PENDING);
            return STATUS_PENDING;
        }
        WaitForUsbQuiet(DeviceExtension);
    }
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, QueryDxCompletionRoutine, DeviceExtension, TRUE, TRUE, TRUE);
    PoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
    DebugPrint(4, DBG_POWER, "Power.c:HandleDeviceQueryPower (2) EXIT with status STATUS_PENDING (0x%lx)\n",
               STATUS_PENDING);
    return STATUS_PENDING;
}

static TESMO_PAGED NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    POWER_STATE PowerState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;
    DEVICE_POWER_STATE DeviceState = PowerState.DeviceState;

    PAGED_CODE();
    DebugPrint(4, DBG_POWER, "Power.c:HandleDeviceSetPower ENTRY to D%d\n", (int)DeviceState - 1);
    LogEvent(DeviceExtension, "HDS>", LOG_POINTER(Irp), LOG_SIGNED(DeviceState), LOG_STATE(DeviceExtension));
    IoMarkIrpPending(Irp);

    if (DeviceState != PowerDeviceD0) {
        // Going down: announced and recorded before the lower drivers see it.
        PoSetPowerState(DeviceObject, DevicePowerState, PowerState);
        WriteSharedULong((ULONG volatile*)&DeviceExtension->DevicePowerState, (ULONG)DeviceState);
        if (!KeReadStateEvent(&DeviceExtension->NoPendingUsbTranfers)) {
            if (QueuePowerWait(DeviceExtension, Irp)) {
                DebugPrint(4, DBG_POWER,
                           "Power.c:HandleDeviceSetPower (wait) EXIT with status STATUS_PENDING (0x%lx)\n",
                           STATUS_PENDING);
                return STATUS_PENDING;
            }
            WaitForUsbQuiet(DeviceExtension);
        }
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SetDStateCompletionRoutine, DeviceExtension, TRUE, TRUE, TRUE);
    PoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
    DebugPrint(4, DBG_POWER, "Power.c:HandleDeviceSetPower (no wait) EXIT with status STATUS_PENDING (0x%lx)\n",
               STATUS_PENDING);
    return STATUS_PENDING;
}

static TESMO_PAGED VOID PowerWaitWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIRP Irp = (PIRP)Context;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS WaitStatus;

    PAGED_CODE();
    LogEvent(DeviceExtension, "WIo>", LOG_UNSIGNED(Stack->MajorFunction), LOG_UNSIGNED(Stack->MinorFunction),
             LOG_STATE(DeviceExtension));
    // Bounded: a transfer without a time limit is cancelled rather than
    // allowed to keep the machine from sleeping.
    WaitStatus = WaitForUsbQuiet(DeviceExtension);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(
        Irp, Stack->MinorFunction == IRP_MN_SET_POWER ? SetDStateCompletionRoutine : QueryDxCompletionRoutine,
        DeviceExtension, TRUE, TRUE, TRUE);
    PoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
    LogEvent(DeviceExtension, "WIo<", LOG_SIGNED(WaitStatus), 0, 0);
    // The item may be queued again from here on (it has started).
    InterlockedExchange(&DeviceExtension->WorkItemQueued, 0);
    // Taken when the item was queued: a removal waits for this routine.
    IoReleaseRemoveLock(&DeviceExtension->RequestLock, TESMO_LOCK_TAG);
}

static NTSTATUS QueryDxCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)Context;
    NTSTATUS Status = Irp->IoStatus.Status;
    PIRP SystemIrp;

    UNREFERENCED_PARAMETER(DeviceObject);
    DebugPrint(4, DBG_POWER, "Power.c:QueryDxCompletionRoutine ENTRY\n");
    LogEvent(DeviceExtension, "HQD>", LOG_POINTER(Irp), LOG_SIGNED(Status), LOG_STATE(DeviceExtension));
    PoStartNextPowerIrp(Irp);

    SystemIrp = DeviceExtension->PendingSystemPowerIrp;
    if (SystemIrp != NULL) {
        ReleaseRemoveHold(DeviceExtension, "Power.c:QueryDxCompletionRoutine-", " for system IRP");
        SystemIrp->IoStatus.Status = Status;
        PoStartNextPowerIrp(SystemIrp);
        DeviceExtension->PendingSystemPowerIrp = NULL;
        IoCompleteRequest(SystemIrp, IO_NO_INCREMENT);
    }
    ReleaseRemoveHold(DeviceExtension, "Power.c:QueryDxCompletionRoutine-", "");
    DebugPrint(4, DBG_POWER, "Power.c:QueryDxCompletionRoutine EXIT with status 0x%lx\n", Status);
    return Status;
}

static TESMO_PAGED VOID DrainWorkItemRoutine(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)Context;

    UNREFERENCED_PARAMETER(DeviceObject);
    PAGED_CODE();
    InterlockedExchange(&DeviceExtension->DrainQueued, 0);
    ProcessQueuedIrps(DeviceExtension);
    IoReleaseRemoveLock(&DeviceExtension->RequestLock, TESMO_LOCK_TAG);
}

// The held requests go to dispatch routines that wait for USB transfers,
// which a completion routine must not do: it may run at DISPATCH_LEVEL or on
// the bus's own thread, whose completions those transfers wait for. So the
// drain always runs in a work item. The queued item holds RequestLock, so a
// removal waits for it before it releases the work item.
static VOID DrainHeldRequests(PDEVICE_EXTENSION DeviceExtension)
{
    if (InterlockedExchange(&DeviceExtension->DrainQueued, 1) != 0) {
        return;
    }
    if (!NT_SUCCESS(IoAcquireRemoveLock(&DeviceExtension->RequestLock, TESMO_LOCK_TAG))) {
        // Being removed: the removal fails what is held.
        InterlockedExchange(&DeviceExtension->DrainQueued, 0);
        return;
    }
    IoQueueWorkItem(DeviceExtension->DrainWorkItem, DrainWorkItemRoutine, DelayedWorkQueue, DeviceExtension);
}

// Passes on a system set-power request kept while its device request ran.
static VOID PassKeptSystemSetPower(PDEVICE_EXTENSION DeviceExtension, PIRP SystemIrp)
{
    ReleaseRemoveHold(DeviceExtension, "Power.c:SetDStateCompletionRoutine-", " for system power IRP");
    PoStartNextPowerIrp(SystemIrp);
    IoSkipCurrentIrpStackLocation(SystemIrp);
    DeviceExtension->PendingSystemPowerIrp = NULL;
    PoCallDriver(DeviceExtension->LowerDeviceObject, SystemIrp);
}

static NTSTATUS SetDStateCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)Context;
    NTSTATUS Status = Irp->IoStatus.Status;
    POWER_STATE PowerState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;
    DEVICE_POWER_STATE DeviceState = PowerState.DeviceState;
    PIRP SystemIrp = DeviceExtension->PendingSystemPowerIrp;

    UNREFERENCED_PARAMETER(DeviceObject);
    DebugPrint(4, DBG_POWER, "Power.c:SetDStateCompletionRoutine ENTRY to D%d, system power IRP = 0x%p (0x%lx)\n",
               (int)DeviceState - 1, SystemIrp, DeviceStateWord(DeviceExtension));
    LogEvent(DeviceExtension, "SDc>", LOG_POINTER(Irp), LOG_SIGNED(DeviceState), LOG_STATE(DeviceExtension));
    PoStartNextPowerIrp(Irp);

    if (DeviceState == PowerDeviceD0) {
        WriteSharedULong((ULONG volatile*)&DeviceExtension->DevicePowerState, (ULONG)PowerDeviceD0);
        PoSetPowerState(DeviceExtension->FunctionalDeviceObject, DevicePowerState, PowerState);
        if (SetQueueStateUnlessFailing(DeviceExtension, AllowRequests)) {
            DebugPrint(4, DBG_POWER, "Power.c:SetDStateCompletionRoutine-changing QueueState to AllowRequests (%d)\n",
                       AllowRequests);
            if (ReadSharedULong(&DeviceExtension->PnpState) == Working) {
                DrainHeldRequests(DeviceExtension);
            }
        }
        // A system state other than S0 that maps to D0 still has its system
        // request waiting here: it goes on. A kept request for a state that
        // maps elsewhere (a shutdown that came while this D0 request was in
        // the bus) waits for its own device request.
        if (SystemIrp != NULL && IoGetCurrentIrpStackLocation(SystemIrp)->MinorFunction == IRP_MN_SET_POWER &&
            MappedDeviceState(DeviceExtension,
                              IoGetCurrentIrpStackLocation(SystemIrp)->Parameters.Power.State.SystemState) ==
                PowerDeviceD0) {
            PassKeptSystemSetPower(DeviceExtension, SystemIrp);
        }
    } else if (SystemIrp != NULL) {
        PassKeptSystemSetPower(DeviceExtension, SystemIrp);
    }
    ReleaseRemoveHold(DeviceExtension, "Power.c:SetDStateCompletionRoutine-", "");
    DebugPrint(4, DBG_POWER, "Power.c:SetDStateCompletionRoutine EXIT with status 0x%lx\n", Status);
    return Status;
}

static NTSTATUS WaitWakeCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION DeviceExtension = (PDEVICE_EXTENSION)Context;

    UNREFERENCED_PARAMETER(DeviceObject);
    DebugPrint(4, DBG_POWER, "Power.c:WaitWakeCompletionRoutine ENTRY\n");
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    ReleaseRemoveHold(DeviceExtension, "Power.c:WaitWakeCompletionRoutine-", "");

    // A wait-wake request that is not the driver's own always completes
    // upward: nobody else would ever finish it. Which one is the driver's is
    // a matter of identity, not of any flag that may change meanwhile.
    // The driver's own, completed before CancelWaitWake took it: upward too.
    if (Irp != DeviceExtension->OwnWaitWakeIrp ||
        InterlockedCompareExchangePointer((PVOID volatile*)&DeviceExtension->WaitWakeIrp, NULL, Irp) == Irp) {
        if (Irp == DeviceExtension->OwnWaitWakeIrp) {
            DeviceExtension->OwnWaitWakeIrp = NULL;
        }
        DebugPrint(4, DBG_POWER, "Power.c:WaitWakeCompletionRoutine EXIT with STATUS_SUCCESS\n");
        PoStartNextPowerIrp(Irp);
        return STATUS_SUCCESS;
    }
    if (InterlockedExchange(&DeviceExtension->WaitWakeCancelFlag, 1) != 0) {
        DeviceExtension->OwnWaitWakeIrp = NULL;
        DebugPrint(4, DBG_POWER, "Power.c:WaitWakeCompletionRoutine EXIT with STATUS_CANCELLED\n");
        PoStartNextPowerIrp(Irp);
        return STATUS_CANCELLED;
    }
    DebugPrint(4, DBG_POWER, "Power.c:WaitWakeCompletionRoutine EXIT with STATUS_MORE_PROCESSING_REQUIRED\n");
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID CancelWaitWake(PDEVICE_EXTENSION DeviceExtension)
{
    PIRP Irp;

    DebugPrint(4, DBG_POWER, "Power.c:CancelWaitWake ENTRY\n");
    Irp = (PIRP)InterlockedExchangePointer((PVOID volatile*)&DeviceExtension->WaitWakeIrp, NULL);
    if (Irp != NULL) {
        IoCancelIrp(Irp);
        if (InterlockedExchange(&DeviceExtension->WaitWakeCancelFlag, 1) != 0) {
            DebugPrint(5, DBG_POWER, "Power.c:CancelWaitWake-canceling IRP 0x%p\n", Irp);
            DeviceExtension->OwnWaitWakeIrp = NULL;
            PoStartNextPowerIrp(Irp);
            CompleteRequest(Irp, STATUS_CANCELLED, 0);
        }
    }
    DebugPrint(4, DBG_POWER, "Power.c:CancelWaitWake EXIT\n");
}

}  // extern "C"
