// The request queue: the callbacks through which the platform's cancel-safe
// queue library keeps held device-control requests in PendingIrpList.
#include "Queue.h"

#include "DebugPrint.h"
#include "EventLog.h"
#include "Tesmo.h"

extern "C" {

static IO_CSQ_INSERT_IRP KavrelInsertIrpEx;
static IO_CSQ_REMOVE_IRP KavrelRemoveIrp;
static IO_CSQ_ACQUIRE_LOCK KavrelAcquireLock;
static IO_CSQ_RELEASE_LOCK KavrelReleaseLock;
static IO_CSQ_COMPLETE_CANCELED_IRP KavrelCompleteCanceledIrp;

static PDEVICE_EXTENSION ExtensionOfQueue(PIO_CSQ Csq)
{
    return CONTAINING_RECORD(Csq, DEVICE_EXTENSION, CancelSafeQueue);
}

static VOID KavrelInsertIrpEx(PIO_CSQ Csq, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = ExtensionOfQueue(Csq);

    DeviceExtension->QueuedIrpCount++;
    DebugPrint(5, DBG_QUEUE, "Queue.c: KavrelInsertIrpEx (0x%p).  Total queued = %ld\n", Irp,
               DeviceExtension->QueuedIrpCount);
    LogEvent(DeviceExtension, "IIE>", LOG_POINTER(Irp), LOG_SIGNED(DeviceExtension->QueuedIrpCount),
             LOG_STATE(DeviceExtension));
    InsertTailList(&DeviceExtension->PendingIrpList, &Irp->Tail.Overlay.ListEntry);
}

static VOID KavrelRemoveIrp(PIO_CSQ Csq, PIRP Irp)
{
    PDEVICE_EXTENSION DeviceExtension = ExtensionOfQueue(Csq);

    DeviceExtension->QueuedIrpCount--;
    DebugPrint(5, DBG_QUEUE, "Queue.c: KavrelRemoveIrp (0x%p).  Total queued = %ld\n", Irp,
               DeviceExtension->QueuedIrpCount);
    LogEvent(DeviceExtension, "RmI>", LOG_POINTER(Irp), LOG_SIGNED(DeviceExtension->QueuedIrpCount),
             LOG_STATE(DeviceExtension));
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
}

PIRP KavrelPeekNextIrp(PIO_CSQ Csq, PIRP Irp, PVOID PeekContext)
{
    PDEVICE_EXTENSION DeviceExtension = ExtensionOfQueue(Csq);
    PLIST_ENTRY ListHead = &DeviceExtension->PendingIrpList;
    PLIST_ENTRY NextEntry;
    PIRP NextIrp;

    DebugPrint(5, DBG_QUEUE, "Queue.c: KavrelPeekNextIrp Csq = 0x%p, Irp = 0x%p\n", Csq, Irp);
    DebugPrint(5, DBG_QUEUE, "Queue.c: KavrelPeekNextIrp (0x%p)\n", Irp);
    LogEvent(DeviceExtension, "PNI>", LOG_POINTER(Irp), LOG_POINTER(ListHead), LOG_STATE(DeviceExtension));

    NextEntry = (Irp == NULL) ? ListHead->Flink : Irp->Tail.Overlay.ListEntry.Flink;
    while (NextEntry != ListHead) {
        NextIrp = CONTAINING_RECORD(NextEntry, IRP, Tail.Overlay.ListEntry);
        if (PeekContext == NULL || IoGetCurrentIrpStackLocation(NextIrp)->FileObject == (PFILE_OBJECT)PeekContext) {
            return NextIrp;
        }
        NextEntry = NextEntry->Flink;
    }
    return NULL;
}

static VOID KavrelAcquireLock(PIO_CSQ Csq, PKIRQL Irql)
{
    PDEVICE_EXTENSION DeviceExtension = ExtensionOfQueue(Csq);

    DebugPrint(5, DBG_QUEUE, "Queue.c: KavrelAcquireLock\n");
    LogEvent(DeviceExtension, "AQL>", 0, 0, LOG_STATE(DeviceExtension));
    *Irql = KeAcquireSpinLockRaiseToDpc(&DeviceExtension->QueueLock);
}

static VOID KavrelReleaseLock(PIO_CSQ Csq, KIRQL Irql)
{
    PDEVICE_EXTENSION DeviceExtension = ExtensionOfQueue(Csq);

    DebugPrint(5, DBG_QUEUE, "Queue.c: KavrelReleaseLock\n");
    LogEvent(DeviceExtension, "RQL>", 0, 0, LOG_STATE(DeviceExtension));
    KeReleaseSpinLock(&DeviceExtension->QueueLock, Irql);
}

static VOID KavrelCompleteCanceledIrp(PIO_CSQ Csq, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Csq);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

TESMO_PAGED VOID InitializeRequestQueue(PDEVICE_EXTENSION DeviceExtension)
{
    PAGED_CODE();
    DeviceExtension->QueuedIrpCount = 0;
    KeInitializeSpinLock(&DeviceExtension->QueueLock);
    InitializeListHead(&DeviceExtension->PendingIrpList);
    IoCsqInitialize(&DeviceExtension->CancelSafeQueue, KavrelInsertIrpEx, KavrelRemoveIrp, KavrelPeekNextIrp,
                    KavrelAcquireLock, KavrelReleaseLock, KavrelCompleteCanceledIrp);
}

}  // extern "C"

// ---- processing of held requests ----

#include "Ioctl.h"
#include "ReadWrite.h"

extern "C" {

static TESMO_PAGED VOID FailHeldRequest(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, NTSTATUS Status, const char Tag[5])
{
    PAGED_CODE();
    DebugPrint(5, DBG_QUEUE, "Queue.c: completing IRP 0x%p with status 0x%lx\n", Irp, Status);
    LogEvent(DeviceExtension, Tag, LOG_POINTER(Irp), LOG_SIGNED(Status), 0);
    CompleteRequest(Irp, Status, 0);
}

TESMO_PAGED VOID ProcessQueuedIrps(PDEVICE_EXTENSION DeviceExtension)
{
    PDEVICE_OBJECT DeviceObject = DeviceExtension->FunctionalDeviceObject;
    PIRP Irp;

    PAGED_CODE();
    DebugPrint(5, DBG_QUEUE, "Queue.c: Process Queued Irps\n");
    LogEvent(DeviceExtension, "PQR>", 0, 0, LOG_STATE(DeviceExtension));
    // A full barrier (the value is left as it is): the change of QueueState
    // that led here is visible before the list is looked at, so a request
    // being held meanwhile is either seen below or sees the change itself.
    (VOID) ReadQueueState(DeviceExtension);
    for (;;) {
        // Only a hint, read without the lock: the removal below decides.
        if (TESMO_UNGUARDED_READ(DeviceExtension->PendingIrpList.Flink,
                                 "a hint whether to look; the removal under the queue's lock decides") ==
            &DeviceExtension->PendingIrpList) {
            return;
        }
        DebugPrint(5, DBG_QUEUE, "Queue.c: dequeueing IRP\n");
        LogEvent(DeviceExtension, "PQR0", 0, 0, 0);
        Irp = IoCsqRemoveNextIrp(&DeviceExtension->CancelSafeQueue, NULL);
        DebugPrint(5, DBG_QUEUE, "Queue.c: dequeued IRP 0x%p\n", Irp);
        LogEvent(DeviceExtension, "PQR1", LOG_POINTER(Irp), 0, 0);
        if (Irp == NULL) {
            return;
        }
        // Read anew for every request: a change of state takes effect at once.
        if (ReadQueueState(DeviceExtension) != AllowRequests) {
            FailHeldRequest(DeviceExtension, Irp,
                            ReadSharedULong(&DeviceExtension->PnpState) == Removed ? STATUS_DELETE_PENDING
                                                                                   : STATUS_CANCELLED,
                            "PQR2");
            continue;
        }
        switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
        case IRP_MJ_READ:
            HandleReadIrp(DeviceObject, Irp);
            break;
        case IRP_MJ_WRITE:
            HandleWriteIrp(DeviceObject, Irp);
            break;
        case IRP_MJ_DEVICE_CONTROL:
            HandleDeviceControlIrp(DeviceObject, Irp);
            break;
        default:
            FailHeldRequest(DeviceExtension, Irp, STATUS_NOT_IMPLEMENTED, "PQR3");
            break;
        }
    }
}

}  // extern "C"
