// Kernel core of the emulation: IRQL, dispatcher objects and waits, spin
// locks, interlocked operations, pool.
//
// IRQL contract (enforced by the verifier; every exported routine's highest
// IRQL is in the export table, emu/Exports.def):
//  - KeWaitForSingleObject: at most DISPATCH_LEVEL, and at DISPATCH_LEVEL only
//    with a zero timeout (a poll).
//  - KeSetEvent/KeClearEvent/KeReadStateEvent: up to DISPATCH_LEVEL.
//  - KeAcquireSpinLockRaiseToDpc raises to DISPATCH_LEVEL; KeReleaseSpinLock
//    must be called at DISPATCH_LEVEL by the owner and restores the old IRQL.
//  - Paged pool may not be allocated or freed above APC_LEVEL.
#pragma once

#include "emu_ntdef.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    MaximumWaitReason = 40
} KWAIT_REASON;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;  // EVENT_TYPE for events
    UCHAR Signalling;
    UCHAR Size;
    BOOLEAN DpcActive;
    volatile LONG SignalState;
    LIST_ENTRY WaitListHead;  // the emulation links its waiting threads here
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

// Kernel objects the driver never uses but that the platform's structures
// embed: the emulation models none of them and keeps only their room, so
// that the structures around them have the platform's layout.
typedef struct _KAPC {
    ULONG64 EmuRoom[11];
} KAPC, *PKAPC;
typedef struct _KDPC {
    ULONG64 EmuRoom[8];
} KDPC, *PKDPC;
typedef struct _KDEVICE_QUEUE {
    ULONG64 EmuRoom[5];
} KDEVICE_QUEUE, *PKDEVICE_QUEUE;
typedef struct _WAIT_CONTEXT_BLOCK {
    ULONG64 EmuRoom[9];
} WAIT_CONTEXT_BLOCK, *PWAIT_CONTEXT_BLOCK;

#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

// ---- IRQL ----
KIRQL NTAPI KeGetCurrentIrql(void);
VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID NTAPI KeLowerIrql(KIRQL NewIrql);
KIRQL NTAPI KeRaiseIrqlToDpcLevel(void);

// ---- events and waits ----
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeResetEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
ULONGLONG NTAPI KeQueryInterruptTime(void);
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);

// ---- spin locks ----
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))

// A spin-wait's pause. Under a controlled schedule the spinning thread gives
// the turn away for a point, as another processor would meanwhile finish what
// it waits for; otherwise the host thread yields.
VOID EmuYieldProcessor(void);
#define YieldProcessor EmuYieldProcessor

// ---- interlocked operations (full barriers, as on the platform) ----
// Each is a scheduling point of the driver under a controlled schedule: the
// interleavings that matter lie between a plain read and the interlocked
// write that follows it. The emulation's own uses make none.
VOID EmuSchedulingPoint(void);
#ifdef EMU_NO_SCHEDULING_POINTS
#define EMU_INTERLOCKED_POINT() ((void)0)
#else
#define EMU_INTERLOCKED_POINT() EmuSchedulingPoint()
#endif
FORCEINLINE LONG InterlockedIncrement(LONG volatile* Addend)
{
    EMU_INTERLOCKED_POINT();
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedDecrement(LONG volatile* Addend)
{
    EMU_INTERLOCKED_POINT();
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchange(LONG volatile* Target, LONG Value)
{
    EMU_INTERLOCKED_POINT();
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value)
{
    EMU_INTERLOCKED_POINT();
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand)
{
    EMU_INTERLOCKED_POINT();
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value)
{
    EMU_INTERLOCKED_POINT();
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand)
{
    EMU_INTERLOCKED_POINT();
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

// ---- deliberately unguarded reads ----
// A read the driver makes on purpose without the guard the location needs (a
// count for a trace line, a statistic): an atomic read of its own, which the
// race detector does not judge, and a note of the place, which it lists.
VOID EmuMarkUnguarded(PCSTR Why, PCSTR File, LONG Line);

#ifdef __cplusplus
}
template <typename T>
FORCEINLINE T EmuUnguardedRead(const volatile T* Location, PCSTR Why, PCSTR File, LONG Line)
{
    EmuMarkUnguarded(Why, File, Line);
    T Value;
    __atomic_load(const_cast<T*>(Location), &Value, __ATOMIC_RELAXED);
    return Value;
}
extern "C" {
#endif

// ---- pool ----
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512
} POOL_TYPE;
#define POOL_COLD_ALLOCATION 256

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);

// Pageable code announces itself; the verifier fails it above APC_LEVEL.
VOID EmuAssertPageableCode(const char* Function);
#define PAGED_CODE() EmuAssertPageableCode(__func__)

#ifdef __cplusplus
}
#endif
