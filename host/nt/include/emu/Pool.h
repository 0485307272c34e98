// Inspection of the emulated pool: what is allocated, by tag, type and size.
// Allocation and release go through ExAllocatePoolWithTag/ExFreePoolWithTag;
// the pool itself enforces the verifier's pool rules.
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <deque>
#include <vector>

namespace emu {

struct Allocation {
    void* address;
    std::size_t size;
    std::uint32_t tag;
    int type;              // POOL_TYPE as passed
    void* caller;          // return address of the allocating call
    std::uint64_t sequence;
};

// Four characters in memory order, as pool tools show a tag.
std::string TagText(std::uint32_t tag);
// The tag value whose memory order reads `text` (first character lowest).
constexpr std::uint32_t TagFromText(const char (&text)[5])
{
    return std::uint32_t(std::uint8_t(text[0])) | std::uint32_t(std::uint8_t(text[1])) << 8 |
           std::uint32_t(std::uint8_t(text[2])) << 16 | std::uint32_t(std::uint8_t(text[3])) << 24;
}

class Verifier;
class FaultPlan;

class Pool {
public:
    Pool(Verifier& verifier, FaultPlan& faults) : verifier_(verifier), faults_(faults) {}
    ~Pool();

    void* Allocate(int type, std::size_t size, std::uint32_t tag, void* caller);
    // checkTag false: release without a tag check (ExFreePool).
    void Free(void* address, std::uint32_t tag, bool checkTag);

    std::vector<Allocation> Outstanding() const;
    std::vector<Allocation> OutstandingWithTag(std::uint32_t tag) const;
    std::vector<Allocation> OutstandingSince(std::uint64_t checkpoint) const;
    // The sequence number of the last allocation: a checkpoint.
    std::uint64_t Checkpoint() const;
    bool IsAllocated(const void* address) const;

private:
    void Quarantine(void* address, std::size_t size);

    Verifier& verifier_;
    FaultPlan& faults_;
    mutable std::mutex mutex_;
    std::unordered_map<void*, Allocation> live_;
    std::unordered_map<void*, std::uint32_t> quarantinedTags_;
    std::deque<std::pair<void*, std::size_t>> quarantine_;
    std::size_t quarantineBytes_ = 0;
    std::uint64_t sequence_ = 0;
};

}  // namespace emu
