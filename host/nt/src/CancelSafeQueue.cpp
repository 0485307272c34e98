// The cancel-safe queue library: the driver keeps the queue and its lock behind
// six callbacks; the library owns the IRPs' cancel routines so that an IRP is
// either taken out by the driver or cancelled, never both. The callbacks are
// called in the platform library's order, and insert, remove and peek only
// between the driver's acquire-lock and release-lock callbacks.
//
// IRQL: up to DISPATCH_LEVEL. The library holds no lock of its own; the
// driver's lock (through its callbacks) and the cancel spin lock (in the cancel
// path, released first thing) are the only ones taken, besides the timeline's
// record of the held requests (QueueGate.h), a leaf taken under the driver's.
#include "Kernel.h"
#include "emu/ExportEntry.h"

namespace emu::detail {
namespace {

// Where an inserted IRP records its queue: the queue itself, or the caller's
// context, which then records the IRP and the queue.
PVOID& QueueSlot(PIRP irp) { return irp->Tail.Overlay.DriverContext[3]; }

bool CheckQueue(PIO_CSQ csq, const char* routine)
{
    if (!csq || csq->Type != IO_TYPE_CSQ) {
        Violation(Rule::NotModelled, nullptr, std::string(routine) + " on a queue that IoCsqInitialize did not set up");
        return false;
    }
    return true;
}

PIO_CSQ QueueOf(PIRP irp, PIO_CSQ_IRP_CONTEXT* context)
{
    auto* recorded = static_cast<PIO_CSQ>(QueueSlot(irp));
    *context = nullptr;
    if (recorded && recorded->Type == IO_TYPE_CSQ_IRP_CONTEXT) {
        *context = reinterpret_cast<PIO_CSQ_IRP_CONTEXT>(recorded);
        return (*context)->Csq;
    }
    return recorded;
}

// Breaks the association between an IRP leaving the queue and its context.
void Dissociate(PIRP irp)
{
    PIO_CSQ_IRP_CONTEXT context;
    QueueOf(irp, &context);
    if (context) context->Irp = nullptr;
    QueueSlot(irp) = nullptr;
}

// The cancel routine the library sets on every queued IRP. IoCancelIrp calls
// it with the cancel spin lock held; it runs only when nobody took the cancel
// routine back, so the IRP is still in the driver's queue.
VOID NTAPI CsqCancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PIO_CSQ_IRP_CONTEXT context;
    PIO_CSQ csq = QueueOf(irp, &context);
    if (!csq || csq->Type != IO_TYPE_CSQ) BugCheck("a queued IRP lost the record of its cancel-safe queue");
    KIRQL irql;
    csq->CsqAcquireLock(csq, &irql);
    csq->CsqRemoveIrp(csq, irp);
    Dissociate(irp);
    K().queueGate.Left(csq, irp, "cancelled");
    csq->CsqReleaseLock(csq, irql);
    csq->CsqCompleteCanceledIrp(csq, irp);
}

}  // namespace
}  // namespace emu::detail

using namespace emu::detail;

extern "C" {

NTSTATUS IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                         PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                         PIO_CSQ_RELEASE_LOCK CsqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp)
{
    EMU_ENTRY(IoCsqInitialize);
    Csq->Type = IO_TYPE_CSQ;
    Csq->CsqInsertIrp = CsqInsertIrp;
    Csq->CsqRemoveIrp = CsqRemoveIrp;
    Csq->CsqPeekNextIrp = CsqPeekNextIrp;
    Csq->CsqAcquireLock = CsqAcquireLock;
    Csq->CsqReleaseLock = CsqReleaseLock;
    Csq->CsqCompleteCanceledIrp = CsqCompleteCanceledIrp;
    Csq->ReservePointer = nullptr;
    return STATUS_SUCCESS;
}

VOID IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context)
{
    EMU_ENTRY(IoCsqInsertIrp, Irp);
    if (!CheckQueue(Csq, "IoCsqInsertIrp")) return;
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    if (Context) {
        Context->Type = IO_TYPE_CSQ_IRP_CONTEXT;
        Context->Irp = Irp;
        Context->Csq = Csq;
        QueueSlot(Irp) = Context;
    } else {
        QueueSlot(Irp) = Csq;
    }
    Csq->CsqInsertIrp(Csq, Irp);
    K().queueGate.Held(Csq, Irp);
    IoMarkIrpPending(Irp);
    if (IoSetCancelRoutine(Irp, CsqCancelRoutine)) {
        Violation(emu::Rule::NotModelled, Irp,
                  "IoCsqInsertIrp on an IRP that already had a cancel routine; the queue owns that routine");
    }
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr)) {
        // Cancelled before it was queued, and the cancel routine will not run:
        // the library completes it here.
        Csq->CsqRemoveIrp(Csq, Irp);
        Dissociate(Irp);
        K().queueGate.Left(Csq, Irp, "cancelled");
        Csq->CsqReleaseLock(Csq, irql);
        Csq->CsqCompleteCanceledIrp(Csq, Irp);
        return;
    }
    // Not cancelled, or IoCancelIrp already took the routine and will run it
    // once this lock is released.
    Csq->CsqReleaseLock(Csq, irql);
}

PIRP IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext)
{
    EMU_ENTRY(IoCsqRemoveNextIrp);
    if (!CheckQueue(Csq, "IoCsqRemoveNextIrp")) return nullptr;
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    PIRP irp = Csq->CsqPeekNextIrp(Csq, nullptr, PeekContext);
    while (irp) {
        if (IoSetCancelRoutine(irp, nullptr)) {
            Csq->CsqRemoveIrp(Csq, irp);
            Dissociate(irp);
            K().queueGate.Left(Csq, irp, "taken out");
            break;
        }
        // Being cancelled: its cancel routine removes it once the lock is free.
        irp = Csq->CsqPeekNextIrp(Csq, irp, PeekContext);
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

PIRP IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context)
{
    EMU_ENTRY(IoCsqRemoveIrp);
    if (!CheckQueue(Csq, "IoCsqRemoveIrp")) return nullptr;
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    PIRP irp = Context->Irp;
    if (irp) {
        if (IoSetCancelRoutine(irp, nullptr)) {
            Csq->CsqRemoveIrp(Csq, irp);
            Dissociate(irp);
            K().queueGate.Left(Csq, irp, "taken out");
        } else {
            irp = nullptr;  // being cancelled; the cancel path finishes it
        }
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

}  // extern "C"
