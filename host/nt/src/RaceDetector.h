// The race detector of one emulated system (see emu/Races.h): the driver's
// memory it watches (regions), the shadow state of each 4-byte granule of it,
// the locks each thread holds, the owners of ownership tokens, and the
// findings. Private to the emulation.
//
// Locking: one mutex guards everything here; the hooks take it only for an
// access to the driver's own memory (stack accesses are filtered before), and
// it is never held while the verifier is called. Under a controlled schedule
// only one thread runs at a time, so it is never contended there.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "ImageSymbols.h"
#include "emu/Races.h"

namespace emu::detail {

struct ThreadState;

class RaceDetector {
public:
    // ---- what the emulation tells it ----
    void ImageLoaded(void* handle);  // the image's writable globals become watched memory
    void ImageUnloaded(void* handle);
    void PoolAllocated(void* block, std::size_t size, std::uint32_t tag, void* caller);
    void PoolFreed(void* block, void* caller = nullptr);
    void ExtensionAllocated(void* extension, std::size_t size);
    void ExtensionFreed(void* extension);
    // From here on other threads may reach the record (AddDevice returned)
    // or the image's globals (DriverEntry returned): a field with a stated
    // guard is held to it even by the thread that set it up.
    void RecordPublished(void* extension);
    void ImageStarted(void* handle);
    static void LockTaken(ThreadState& thread, const void* lock);
    static void LockReleased(ThreadState& thread, const void* lock);

    // ---- the instrumented image's hooks ----
    void InstrumentedImage() { instrumented_.store(true, std::memory_order_relaxed); }
    // A plain access the hooks saw, the driver's own memory or not.
    void Counted() { accesses_.fetch_add(1, std::memory_order_relaxed); }
    bool instrumented() const { return instrumented_.load(std::memory_order_relaxed); }
    void PlainAccess(const void* address, std::size_t size, bool write, void* site);
    // An interlocked operation on `address`; for an exchange or a successful
    // compare-exchange of a pointer-sized value, `before` and `after` let an
    // ownership token change hands.
    void AtomicAccess(const void* address, std::size_t size, bool write, void* site,
                      std::optional<std::pair<std::uint64_t, std::uint64_t>> exchanged);
    void MarkedRead(const char* file, int line, const char* why);
    // The next interlocked read of the calling thread is a marked one.
    static void MarkedReadFollows();

    RaceReport Report() const;

private:
    enum class Kind : std::uint8_t { Pool, Extension, Global };
    struct Region {
        std::uintptr_t start = 0;
        std::size_t size = 0;
        Kind kind = Kind::Pool;
        std::uint32_t tag = 0;
        void* caller = nullptr;                // Pool: who allocated it
        std::string symbol;                    // Global: its name
        int record = -1;                       // Extension: index of its description, or -1
        bool published = false;                // reachable by other threads than its maker's
        const GuardedField* global = nullptr;  // Global: its description
    };
    // One access as a finding shows it.
    struct Access {
        int thread = -1;  // index into threadNames_
        bool write = false;
        std::uint8_t depth = 0;
        std::array<void*, 8> stack{};
        std::uint8_t lockCount = 0;
        std::array<std::uintptr_t, 4> locks{};
    };
    // An access being watched: its thread is stalled at it.
    struct Watchpoint {
        std::uintptr_t start = 0;
        std::size_t size = 0;
        const ThreadState* watcher = nullptr;
        Access access;
        std::string what;  // the field's or block's name
        std::array<unsigned char, 16> value{};
        std::size_t compared = 0;  // bytes of `value` taken
        bool conflicted = false;   // another thread's access was seen
        bool freed = false;        // the memory was freed meanwhile
    };
    enum class Phase : std::uint8_t { Virgin, Exclusive, Shared, SharedModified };
    struct Shadow {
        Phase phase = Phase::Virgin;
        bool reported = false;
        bool lockset = false;  // candidates hold the locks of the plain accesses since it was shared
        const ThreadState* owner = nullptr;
        std::vector<std::uintptr_t> candidates;
        Access last;
    };
    // What guards one granule.
    struct Rule {
        Guard guard = Guard::Lockset;
        std::uintptr_t lock = 0;  // Lock: its address; Owner: the token's
        std::string what;         // the field's or block's name
        std::string lockName;
        const char* why = nullptr;
    };

    const Region* Find(std::uintptr_t address) const;
    Rule RuleFor(const Region& region, std::uintptr_t granule) const;
    Access Capture(ThreadState& thread, bool write, void* site);
    int ThreadIndex(ThreadState& thread);
    std::string Describe(const Access& access) const;
    std::string Symbolize(void* pc) const;
    std::string LockName(std::uintptr_t lock) const;
    void Forget(std::uintptr_t start, std::size_t size);
    // Moves a granule's phase on for an access; false while one thread alone
    // has touched it.
    bool Touch(Shadow& shadow, const ThreadState& thread, bool write, bool atomic);
    // The findings of an access by `thread` that conflicts with a watched one.
    void CheckWatches(std::uintptr_t start, std::size_t size, bool write, bool atomic, const ThreadState& thread,
                      const Access& access, std::vector<std::string>& findings);
    // Whether this access is the one to watch (counted under a controlled
    // schedule, drawn from its seed).
    bool Sample(const Region& region, std::uintptr_t start);
    // Watches the access: the calling thread stalls, then looks at the value.
    void Watch(std::uintptr_t start, std::size_t size, const Access& access);
    void TakeOrReturnToken(std::uintptr_t start, const ThreadState& thread,
                           std::pair<std::uint64_t, std::uint64_t> exchanged);
    // Checks one granule; returns a finding's text, or "".
    std::string Check(const Region& region, std::uintptr_t granule, ThreadState& thread, const Access& access);

    mutable std::mutex mutex_;
    std::atomic<bool> instrumented_{false};
    std::map<std::uintptr_t, Region> regions_;  // by start
    std::unordered_map<std::uintptr_t, Shadow> shadow_;
    std::map<std::uintptr_t, const ThreadState*> owners_;  // ownership tokens held
    std::vector<std::string> threadNames_;
    std::unordered_map<const ThreadState*, int> threadIndex_;
    std::set<std::string> reported_;  // one finding per field (or block offset) and rule
    std::map<std::pair<std::string, int>, MarkedPlace> marked_;
    std::vector<std::pair<void*, std::pair<std::uintptr_t, std::uintptr_t>>> imageGlobals_;
    std::vector<std::pair<void*, std::unique_ptr<ImageSymbols>>> symbols_;
    std::vector<Watchpoint*> watches_;  // active
    bool samplerSeeded_ = false;
    std::mt19937_64 sampler_;
    std::uint64_t untilWatch_ = 0;  // accesses before the next watched one
    unsigned watchEvery_ = 0;
    unsigned watchPoints_ = 0;
    std::atomic<std::uint64_t> accesses_{0};
    std::uint64_t checked_ = 0;
    std::uint64_t atomics_ = 0;
    std::uint64_t watched_ = 0;
    std::uint64_t findings_ = 0;
};

}  // namespace emu::detail
