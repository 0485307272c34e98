// Spin locks. A held lock stores its owner so that recursion and release by a
// non-owner are caught; acquiring raises to DISPATCH_LEVEL as on the platform.
#include <sched.h>

#include <map>
#include <mutex>

#include "Kernel.h"
#include "emu/ExportEntry.h"
#include "emu/SpinLocks.h"
#include "emu/Threads.h"

using emu::detail::Self;

namespace {

ULONG_PTR OwnerToken() { return reinterpret_cast<ULONG_PTR>(&Self()); }

// The threads spinning on each contended lock, for SpinLockWaiters. Only a
// thread that found the lock held is counted, so the uncontended path pays
// nothing.
std::mutex g_spinnersMutex;
std::map<const void*, std::size_t> g_spinners;

void CountSpinner(const void* lock, bool spinning)
{
    {
        std::lock_guard guard(g_spinnersMutex);
        if (spinning) {
            ++g_spinners[lock];
        } else if (--g_spinners[lock] == 0) {
            g_spinners.erase(lock);
        }
    }
    emu::NotifyStateChanged();
}

void Spin(PKSPIN_LOCK lock)
{
    ULONG_PTR self = OwnerToken();
    if (__atomic_load_n(lock, __ATOMIC_ACQUIRE) == self) {
        emu::detail::Violation(emu::Rule::SpinLockMisuse, nullptr,
                               "spin lock acquired again by its owner (the processor would spin for ever)");
        emu::detail::BugCheck("recursive spin lock acquisition");
    }
    bool counted = false;
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        if (!counted) CountSpinner(lock, true);
        counted = true;
        sched_yield();
    }
    if (counted) CountSpinner(lock, false);
    ++Self().schedule.spinLocksHeld;
    emu::detail::RaceDetector::LockTaken(Self(), lock);
}

void Unlock(PKSPIN_LOCK lock, const char* routine)
{
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != OwnerToken()) {
        emu::detail::Violation(emu::Rule::SpinLockMisuse, nullptr,
                               std::string(routine) + " of a spin lock the thread does not hold");
    }
    emu::detail::RaceDetector::LockReleased(Self(), lock);
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    --Self().schedule.spinLocksHeld;
}

}  // namespace

std::size_t emu::SpinLockWaiters(const void* lock)
{
    std::lock_guard guard(g_spinnersMutex);
    auto found = g_spinners.find(lock);
    return found == g_spinners.end() ? 0 : found->second;
}

extern "C" {

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    EMU_ENTRY(KeInitializeSpinLock);
    *SpinLock = 0;
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    EMU_ENTRY(KeAcquireSpinLockRaiseToDpc);
    emu::detail::SchedulePoint();  // before it is taken
    KIRQL old = Self().irql;
    Self().irql = DISPATCH_LEVEL;
    Spin(SpinLock);
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    EMU_ENTRY(KeReleaseSpinLock);
    // Above DISPATCH_LEVEL is the prologue's to report.
    if (Self().irql < DISPATCH_LEVEL) {
        emu::detail::Violation(emu::Rule::SpinLockMisuse, nullptr, "KeReleaseSpinLock below DISPATCH_LEVEL");
    }
    Unlock(SpinLock, "KeReleaseSpinLock");
    KeLowerIrql(NewIrql);
    emu::detail::SchedulePoint();
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    EMU_ENTRY(KeAcquireSpinLockAtDpcLevel);
    if (Self().irql < DISPATCH_LEVEL) {
        emu::detail::Violation(emu::Rule::SpinLockMisuse, nullptr, "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
    }
    Spin(SpinLock);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    EMU_ENTRY(KeReleaseSpinLockFromDpcLevel);
    Unlock(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql)
{
    EMU_ENTRY(IoAcquireCancelSpinLock);
    *Irql = KeAcquireSpinLockRaiseToDpc(&emu::detail::K().io.cancelLock);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql)
{
    EMU_ENTRY(IoReleaseCancelSpinLock);
    KeReleaseSpinLock(&emu::detail::K().io.cancelLock, Irql);
}

}  // extern "C"
