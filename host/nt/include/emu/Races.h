// The race detector of the emulated kernel. A driver image built with the
// compiler's thread-sanitizer instrumentation (but without the sanitizer's
// runtime) calls the emulation on every plain access, atomic operation and
// function entry; the detector judges the accesses to the driver's own memory
// (its device records, pool blocks and globals) two ways:
//
//  - Lockset (as Eraser): a location goes Virgin -> Exclusive (one thread)
//    -> Shared (read by another) -> Shared-Modified (written after that);
//    the locks held at each access after the first thread's are intersected,
//    and a Shared-Modified location whose candidate set becomes empty is an
//    UnguardedAccess finding. A field the host describes (DescribeRecord,
//    DescribeGlobal) is checked against its stated guard instead: its lock
//    held, interlocked operations only, the owner of a token, or ordered by
//    the platform's own request flow. It does not depend on the interleaving
//    that ran: a dropped lock is found in a run where nothing went wrong.
//  - Watchpoints (as KCSAN and DataCollider), under a controlled schedule:
//    a seeded sample of accesses is watched while the accessing thread gives
//    up its turn for a few scheduling points; a conflicting access by
//    another thread meanwhile is a DataRace finding with both stacks, and a
//    watched value that changed with no access seen is one of unknown
//    origin. The schedule opens the window, so a race replays from its seed.
//
// A deliberately unguarded read in the driver is marked (TESMO_UNGUARDED_READ
// in the driver's platform header, nothing on Windows); the marked places
// are counted and listed (RaceReport), so that "no findings" stays meaningful.
//
// Thread-safe. Descriptions are process-wide and apply to every system
// booted after them; the report is the current system's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

enum class Guard {
    Lockset,      // no stated guard: the lockset decides
    Lock,         // every access holds the spin lock `lock` names
    Interlocked,  // changed and read by interlocked operations only
    Owner,        // accessed only by the thread that took the token field `lock` names
    Ordered,      // ordered by the platform's request flow (`why` says how): watchpoints only
    Opaque,       // a platform object the driver touches only through the platform's routines
};

struct GuardedField {
    const char* name;
    std::size_t offset;
    std::size_t size;
    Guard guard;
    const char* lock = nullptr;  // Lock, Owner: the field (or global) that guards it
    const char* why = nullptr;   // Ordered: by what
    // A pointer field: how the block it points to is guarded.
    Guard pointee = Guard::Lockset;
    const char* pointeeLock = nullptr;
};

// The device extension of `size` bytes that a driver allocates: each field
// (by offset) and its guard. Fields of a record that no entry covers are left
// to the lockset.
void DescribeRecord(std::string name, std::size_t size, std::vector<GuardedField> fields);

// A global of the driver image, by its symbol: its guard (`lock` names
// another global for Lock).
void DescribeGlobal(std::string symbol, std::size_t size, Guard guard, const char* lock = nullptr,
                    const char* why = nullptr);

struct MarkedPlace {
    std::string file;
    int line = 0;
    std::string why;
    std::uint64_t reads = 0;
};

struct RaceReport {
    bool instrumentedImage = false;  // an instrumented image was loaded
    std::uint64_t accesses = 0;      // plain accesses the hooks saw
    std::uint64_t checked = 0;       // of them, to the driver's own memory
    std::uint64_t atomics = 0;
    std::uint64_t watched = 0;        // accesses watched under a controlled schedule
    std::uint64_t findings = 0;       // UnguardedAccess and DataRace reports
    std::vector<MarkedPlace> marked;  // deliberately unguarded reads, each place once
};

// The current system's figures (zero when no system exists).
RaceReport CurrentRaceReport();

// Watchpoints under a controlled schedule: one checked access in `every` on
// average (drawn from the schedule's seed) is watched for `points`
// scheduling points; every = 0 turns them off. Process-wide, taken by each
// system when its schedule first samples; TESMO_RACE_WATCH=every,points in
// the environment sets the defaults (64,3).
void SetWatchpoints(unsigned every, unsigned points);

}  // namespace emu
