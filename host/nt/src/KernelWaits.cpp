// The kernel's IRQL, event and wait exports, over the dispatcher.
//
// IRQL: KeRaiseIrql/KeLowerIrql change the calling thread's own level; event
// calls up to DISPATCH_LEVEL; waits at PASSIVE_LEVEL (at DISPATCH_LEVEL only
// with a zero timeout, as on the platform).
#include <string>
#include <thread>

#include "Dispatcher.h"
#include "Kernel.h"
#include "emu/ExportEntry.h"
#include "emu/Threads.h"

using emu::detail::K;
using emu::detail::Self;

extern "C" {

KIRQL KeGetCurrentIrql(void)
{
    EMU_ENTRY(KeGetCurrentIrql);
    return Self().irql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    EMU_ENTRY(KeRaiseIrql);
    auto& self = Self();
    if (NewIrql < self.irql) {
        emu::detail::Violation(emu::Rule::IrqlMisuse, nullptr,
                               "KeRaiseIrql to " + std::to_string(NewIrql) + " below the current IRQL " +
                                   std::to_string(self.irql));
    }
    *OldIrql = self.irql;
    self.irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    EMU_ENTRY(KeLowerIrql);
    auto& self = Self();
    if (NewIrql > self.irql) {
        emu::detail::Violation(emu::Rule::IrqlMisuse, nullptr,
                               "KeLowerIrql to " + std::to_string(NewIrql) + " above the current IRQL " +
                                   std::to_string(self.irql));
    }
    self.irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void)
{
    EMU_ENTRY(KeRaiseIrqlToDpcLevel);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    EMU_ENTRY(KeInitializeEvent);
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Signalling = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.DpcActive = FALSE;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN)
{
    EMU_ENTRY(KeSetEvent);
    LONG previous;
    {
        std::lock_guard lock(K().dispatcher.mutex);
        previous = K().dispatcher.SetEvent(Event);
    }
    emu::NotifyStateChanged();
    emu::detail::SchedulePoint();
    return previous;
}

VOID KeClearEvent(PRKEVENT Event)
{
    EMU_ENTRY(KeClearEvent);
    std::lock_guard lock(K().dispatcher.mutex);
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event)
{
    EMU_ENTRY(KeResetEvent);
    std::lock_guard lock(K().dispatcher.mutex);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    EMU_ENTRY(KeReadStateEvent);
    std::lock_guard lock(K().dispatcher.mutex);
    return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout)
{
    EMU_ENTRY(KeWaitForSingleObject);
    KIRQL irql = Self().irql;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && (Timeout == nullptr || Timeout->QuadPart != 0))) {
        emu::detail::Violation(emu::Rule::WaitAtDispatchLevel, nullptr,
                               std::string("KeWaitForSingleObject at IRQL ") + std::to_string(irql) +
                                   (Timeout ? " with a non-zero timeout" : " without a timeout"));
    }
    emu::detail::SchedulePoint();
    return K().dispatcher.WaitForEvent(static_cast<KEVENT*>(Object), Timeout);
}

VOID EmuSchedulingPoint(void)
{
    EMU_ENTRY(EmuSchedulingPoint);
    emu::detail::SchedulePoint();
}

VOID EmuYieldProcessor(void)
{
    EMU_ENTRY(EmuYieldProcessor);
    // A thread of higher priority spinning at every point would otherwise
    // keep the turn from the one it waits for, for ever.
    if (!emu::detail::StallForPoints(1)) std::this_thread::yield();
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval)
{
    EMU_ENTRY(KeDelayExecutionThread);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, Interval);
    return STATUS_SUCCESS;
}

ULONGLONG KeQueryInterruptTime(void)
{
    EMU_ENTRY(KeQueryInterruptTime);
    std::lock_guard lock(K().dispatcher.mutex);
    return static_cast<ULONGLONG>(K().dispatcher.NowLocked());
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    EMU_ENTRY(KeQuerySystemTime);
    std::lock_guard lock(K().dispatcher.mutex);
    CurrentTime->QuadPart = emu::detail::kBootSystemTime + K().dispatcher.NowLocked();
}

}  // extern "C"
