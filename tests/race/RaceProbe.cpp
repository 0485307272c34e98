// A driver that shares two counters between threads, built with the race
// detector's instrumentation: each routine touches them one way, sound or
// with one of the faults the detector must report. The tests call the
// routines by name from threads of their own.
#include "emu_ntddk.h"

extern "C" {

KSPIN_LOCK ProbeLock;
// Guarded by ProbeLock in the sound routine; the lockset judges it.
LONG ProbeCount;
// Stated to be ordered by the request flow: only the watchpoints judge it.
LONG ProbeOrdered;
// Stated to change by interlocked operations only.
LONG ProbeTicket;

static VOID NTAPI ProbeUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    KeInitializeSpinLock(&ProbeLock);
    DriverObject->DriverUnload = ProbeUnload;
    return STATUS_SUCCESS;
}

VOID ProbeCountUnderLock()
{
    KIRQL OldIrql;
    KeAcquireSpinLock(&ProbeLock, &OldIrql);
    ProbeCount++;
    KeReleaseSpinLock(&ProbeLock, OldIrql);
}

VOID ProbeCountWithoutLock() { ProbeCount++; }

// Raises the IRQL as the lock would, but takes no lock.
VOID ProbeCountAtDispatchLevel()
{
    KIRQL OldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &OldIrql);
    ProbeCount++;
    KeLowerIrql(OldIrql);
}

VOID ProbeCountInterlocked() { InterlockedIncrement(&ProbeCount); }

VOID ProbeTakeTicket() { InterlockedIncrement(&ProbeTicket); }

VOID ProbeTakeTicketPlainly() { ProbeTicket++; }

VOID ProbeStoreOrdered(LONG Value) { ProbeOrdered = Value; }

}  // extern "C"
