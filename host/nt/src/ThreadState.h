// The emulation's record of one host thread that calls into an emulated
// system: its name, IRQL, what it is blocked on, how the dispatcher counts it
// and where it stands in a controlled schedule. Private to the emulation.
//
// Locking: the fields a thread changes only for itself (IRQL, the no-switch
// counts, the PoCallDriver flag) need no lock; the dispatcher's fields and the
// schedule's slot are guarded by the dispatcher's mutex unless a field says
// otherwise.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "emu_ntddk.h"

namespace emu::detail {

class Dispatcher;

// Guards which dispatcher counts which application thread; taken before a
// dispatcher's mutex.
extern std::mutex g_adoptions;

// The race detector's record of a thread: what the instrumented driver is
// doing on it (the thread's own; no lock).
struct RaceSlot {
    std::vector<void*> calls;           // the call sites of the instrumented functions it is in
    std::vector<std::uintptr_t> locks;  // the spin locks it holds, in the order taken
    bool markedRead = false;            // the next interlocked read is a marked unguarded one
};

// The controlled schedule's record of a thread.
struct ScheduleSlot {
    // The thread takes part in the schedule (also read without the lock, by
    // the thread itself at each scheduling point).
    std::atomic<bool> takesPart{false};
    std::uint64_t priority = 0;
    std::condition_variable turn;  // notified when the turn passes to this thread
    // Waiting for an outside condition: the thread looks again only once the
    // schedule's progress has moved past `polledAt`; `pollGaveUp` when the
    // schedule ended the poll because nothing else could ever run.
    bool polling = false;
    std::uint64_t polledAt = 0;
    bool pollGaveUp = false;
    // Letting the system's threads finish before the schedule ends.
    bool settling = false;
    // Stalled at a watched access: not chosen before the schedule has passed
    // this many points, unless nobody else can run.
    std::uint64_t stalledUntil = 0;
    // The thread's own, no lock: a holder of a spin lock, and host code that
    // calls a driver under a lock of its own, is never switched out.
    int noPreemption = 0;
    int spinLocksHeld = 0;
};

struct ThreadState {
    ThreadState();  // named thread-<n> until it names itself
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;
    ~ThreadState();  // an application thread that ends stops being counted

    std::string name;
    KIRQL irql = PASSIVE_LEVEL;
    bool inPoCallDriver = false;

    // What the thread is blocked on, for watchdog reports.
    const char* waitKind = nullptr;
    const void* waitObject = nullptr;
    // The dispatcher that counts this application thread from its first call
    // until it ends (null: none; a system thread is counted without it).
    // Written under the adoption lock.
    std::atomic<Dispatcher*> adoptedBy{nullptr};
    // Counted threads take part in the self-advancing clock's decision; a
    // counted thread is ready unless it is blocked.
    bool counted = false;
    bool ready = false;
    // The application's mistake of holding the clock was reported for it.
    bool clockHoldReported = false;

    ScheduleSlot schedule;
    RaceSlot race;
};

// The calling thread's record.
ThreadState& Self();

}  // namespace emu::detail
