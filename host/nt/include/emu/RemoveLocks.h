// Inspection of a remove lock for tests: how many holders it counts, whether it
// was released for removal, and whether a thread is blocked in
// IoReleaseRemoveLockAndWait on it.
//
// Any thread; takes the dispatcher lock briefly to look at the lock's event.
#pragma once

#include <cstddef>

struct _IO_REMOVE_LOCK;

namespace emu {

struct RemoveLockState {
    bool removed;
    long ioCount;              // the platform's count: 1 for the lock itself plus one per holder
    std::size_t waiters;       // threads blocked until the last holder releases
};

RemoveLockState InspectRemoveLock(_IO_REMOVE_LOCK* lock);

}  // namespace emu
