// Remove locks: a count of holders with a bias of one for the lock itself.
// Acquiring after the lock was released for removal fails with
// STATUS_DELETE_PENDING; the last release after removal wakes the thread in
// IoReleaseRemoveLockAndWait.
//
// IRQL: acquire and release up to DISPATCH_LEVEL; release-and-wait at
// PASSIVE_LEVEL. No lock of the emulation is held while the driver's event is
// set or waited on; the count changes by interlocked operations only, as on
// the platform.
//
// Holders are checked against the tag the lock was initialised with, which
// the I/O manager keeps beside the lock: the emulation does not keep a table
// of per-holder tags, so a holder that passes another tag is reported as not
// modelled rather than silently accepted. A lock that was never initialised
// here (or whose device went) is not checked.
#include <cstdio>
#include <optional>

#include "Kernel.h"
#include "emu/ExportEntry.h"
#include "emu/RemoveLocks.h"

namespace emu::detail {
namespace {

std::string TagName(ULONG_PTR tag)
{
    char text[64];
    std::snprintf(text, sizeof text, "'%s' (0x%llx)", TagText(static_cast<std::uint32_t>(tag)).c_str(),
                  static_cast<unsigned long long>(tag));
    return text;
}

bool CheckCall(PIO_REMOVE_LOCK lock, PVOID tag, ULONG size, const char* routine)
{
    if (size != sizeof(IO_REMOVE_LOCK)) {
        Violation(Rule::NotModelled, nullptr,
                  std::string(routine) + " with a lock size of " + std::to_string(size) + " bytes");
        return false;
    }
    auto given = reinterpret_cast<ULONG_PTR>(tag);
    std::optional<ULONG> own;
    {
        auto& io = K().io;
        std::lock_guard guard(io.mutex);
        auto found = io.removeLockTags.find(reinterpret_cast<std::uintptr_t>(lock));
        if (found != io.removeLockTags.end()) own = found->second;
    }
    if (own && given != *own) {
        Violation(Rule::NotModelled, nullptr,
                  std::string(routine) + " with tag " + TagName(given) + " on a lock initialised with tag " +
                      TagName(*own) + ": holders must use the lock's own tag");
    }
    return true;
}

// Drops one count; false (and a violation) when that would take the count
// below what the lock itself holds: 1 until removal, 0 after it.
bool DropCount(PIO_REMOVE_LOCK lock, const char* routine)
{
    LONG now = InterlockedDecrement(&lock->Common.IoCount);
    const bool removed = __atomic_load_n(&lock->Common.Removed, __ATOMIC_SEQ_CST);
    LONG floor = removed ? 0 : 1;
    if (now < floor) {
        InterlockedIncrement(&lock->Common.IoCount);
        Violation(Rule::RemoveLockOverRelease, nullptr,
                  std::string(routine) + " released the remove lock more often than it was acquired (count " +
                      std::to_string(now + 1) + (removed ? ", after removal)" : ")"));
        return false;
    }
    if (now == 0) KeSetEvent(&lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return true;
}

}  // namespace
}  // namespace emu::detail

namespace emu {

RemoveLockState InspectRemoveLock(_IO_REMOVE_LOCK* lock)
{
    auto& dispatcher = detail::K().dispatcher;
    std::lock_guard guard(dispatcher.mutex);
    std::size_t waiters = 0;
    PLIST_ENTRY head = &lock->Common.RemoveEvent.Header.WaitListHead;
    for (PLIST_ENTRY entry = head->Flink; entry != head; entry = entry->Flink) ++waiters;
    return {__atomic_load_n(&lock->Common.Removed, __ATOMIC_SEQ_CST) != FALSE,
            __atomic_load_n(&lock->Common.IoCount, __ATOMIC_SEQ_CST), waiters};
}

}  // namespace emu

using namespace emu::detail;

extern "C" {

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG, ULONG, ULONG RemlockSize)
{
    EMU_ENTRY(IoInitializeRemoveLockEx);
    if (RemlockSize != sizeof(IO_REMOVE_LOCK)) {
        Violation(emu::Rule::NotModelled, nullptr,
                  "IoInitializeRemoveLockEx with a lock size of " + std::to_string(RemlockSize) + " bytes");
    }
    Lock->Common.Removed = FALSE;
    Lock->Common.Reserved[0] = Lock->Common.Reserved[1] = Lock->Common.Reserved[2] = 0;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
    auto& io = K().io;
    std::lock_guard guard(io.mutex);
    io.removeLockTags[reinterpret_cast<std::uintptr_t>(Lock)] = AllocateTag;
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR, ULONG, ULONG RemlockSize)
{
    EMU_ENTRY(IoAcquireRemoveLockEx);
    if (!CheckCall(RemoveLock, Tag, RemlockSize, "IoAcquireRemoveLockEx")) {
        return STATUS_INVALID_PARAMETER;
    }
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (!__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) return STATUS_SUCCESS;
    // Released for removal: undo the count; the waiter may be waiting for it.
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_DELETE_PENDING;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    EMU_ENTRY(IoReleaseRemoveLockEx);
    if (!CheckCall(RemoveLock, Tag, RemlockSize, "IoReleaseRemoveLockEx")) return;
    DropCount(RemoveLock, "IoReleaseRemoveLockEx");
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    EMU_ENTRY(IoReleaseRemoveLockAndWaitEx);
    if (!CheckCall(RemoveLock, Tag, RemlockSize, "IoReleaseRemoveLockAndWaitEx")) return;
    if (__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) {
        Violation(emu::Rule::RemoveLockOverRelease, nullptr,
                  "IoReleaseRemoveLockAndWaitEx on a lock that was already released for removal");
        return;
    }
    // The caller holds the lock once; that hold goes first, then the lock's own
    // count, after which nobody can acquire it any more.
    if (!DropCount(RemoveLock, "IoReleaseRemoveLockAndWaitEx (its caller's own hold)")) return;
    // Read by every acquirer and releaser on other threads: the flag is
    // published the way the platform's interlocked operations would order it.
    __atomic_store_n(&RemoveLock->Common.Removed, BOOLEAN(TRUE), __ATOMIC_SEQ_CST);
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0) {
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    }
}

}  // extern "C"
