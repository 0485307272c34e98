// The emulated pool: every block tracked by tag, type, size and caller; freed
// blocks poisoned and quarantined so that a double free or a late touch is
// caught; fault injection on the Nth allocation.
#include <cstdlib>
#include <cstring>

#include "Kernel.h"
#include "emu/ExportEntry.h"
#include "emu/HexText.h"

namespace emu {

namespace {
constexpr unsigned char kFreshFill = 0xA5;   // new blocks are not zeroed on the platform
constexpr unsigned char kPoisonFill = 0xDF;  // freed blocks
constexpr std::size_t kQuarantineBytes = 32u << 20;
constexpr std::size_t kQuarantineBlocks = 4096;

}  // namespace

std::string TagText(std::uint32_t tag)
{
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
        text[i] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return text;
}

Pool::~Pool()
{
    for (auto& [address, allocation] : live_) std::free(address);
    for (auto& [address, size] : quarantine_) std::free(address);
}

void* Pool::Allocate(int type, std::size_t size, std::uint32_t tag, void* caller)
{
    bool paged = (type & 1) != 0;
    if (paged && KeGetCurrentIrql() > APC_LEVEL) {
        verifier_.Report(Rule::PagedPoolAtDispatch, nullptr,
                         "paged pool allocated at IRQL " + std::to_string(KeGetCurrentIrql()) + " (tag " +
                             TagText(tag) + ")");
    }
    if (faults_.ShouldFail(FaultSite::Pool)) return nullptr;
    void* block = std::malloc(size ? size : 1);
    if (!block) return nullptr;
    std::memset(block, kFreshFill, size);
    std::lock_guard lock(mutex_);
    quarantinedTags_.erase(block);
    live_.emplace(block, Allocation{block, size, tag, type, caller, ++sequence_});
    return block;
}

void Pool::Quarantine(void* address, std::size_t size)
{
    quarantine_.emplace_back(address, size);
    quarantineBytes_ += size;
    while (quarantine_.size() > kQuarantineBlocks || quarantineBytes_ > kQuarantineBytes) {
        auto [old, oldSize] = quarantine_.front();
        quarantine_.pop_front();
        quarantineBytes_ -= oldSize;
        quarantinedTags_.erase(old);
        std::free(old);
    }
}

void Pool::Free(void* address, std::uint32_t tag, bool checkTag)
{
    std::unique_lock lock(mutex_);
    auto it = live_.find(address);
    if (it == live_.end()) {
        bool freedBefore = quarantinedTags_.count(address) != 0;
        lock.unlock();
        verifier_.Report(freedBefore ? Rule::PoolDoubleFree : Rule::PoolBadPointer, nullptr,
                         std::string(freedBefore ? "pool block freed twice: " : "free of a non-pool address: ") +
                             emu::HexNumber(reinterpret_cast<std::uintptr_t>(address)));
        return;
    }
    Allocation allocation = it->second;
    bool paged = (allocation.type & 1) != 0;
    if (checkTag && allocation.tag != tag) {
        lock.unlock();
        verifier_.Report(Rule::PoolWrongTag, nullptr,
                         "block allocated with tag '" + TagText(allocation.tag) + "' freed with tag '" + TagText(tag) +
                             "'");
        lock.lock();
        it = live_.find(address);
        if (it == live_.end()) return;
    }
    if (paged && KeGetCurrentIrql() > APC_LEVEL) {
        lock.unlock();
        verifier_.Report(Rule::PagedPoolAtDispatch, nullptr,
                         "paged pool freed at IRQL " + std::to_string(KeGetCurrentIrql()));
        lock.lock();
        it = live_.find(address);
        if (it == live_.end()) return;
    }
    live_.erase(it);
    std::memset(address, kPoisonFill, allocation.size);
    quarantinedTags_[address] = allocation.tag;
    Quarantine(address, allocation.size);
}

std::vector<Allocation> Pool::Outstanding() const
{
    std::lock_guard lock(mutex_);
    std::vector<Allocation> result;
    for (auto& [address, allocation] : live_) result.push_back(allocation);
    return result;
}

std::vector<Allocation> Pool::OutstandingWithTag(std::uint32_t tag) const
{
    std::lock_guard lock(mutex_);
    std::vector<Allocation> result;
    for (auto& [address, allocation] : live_) {
        if (allocation.tag == tag) result.push_back(allocation);
    }
    return result;
}

std::vector<Allocation> Pool::OutstandingSince(std::uint64_t checkpoint) const
{
    std::lock_guard lock(mutex_);
    std::vector<Allocation> result;
    for (auto& [address, allocation] : live_) {
        if (allocation.sequence > checkpoint) result.push_back(allocation);
    }
    return result;
}

std::uint64_t Pool::Checkpoint() const
{
    std::lock_guard lock(mutex_);
    return sequence_;
}

bool Pool::IsAllocated(const void* address) const
{
    std::lock_guard lock(mutex_);
    return live_.count(const_cast<void*>(address)) != 0;
}

// ---- fault plan ----

void FaultPlan::FailNth(FaultSite site, std::uint64_t n)
{
    std::lock_guard lock(mutex_);
    auto& s = sites_[static_cast<std::size_t>(site)];
    s.calls = 0;
    s.failAt = n;
    s.hit = false;
}

void FaultPlan::Disarm()
{
    std::lock_guard lock(mutex_);
    for (auto& s : sites_) s.failAt = 0;
}

bool FaultPlan::ShouldFail(FaultSite site)
{
    std::lock_guard lock(mutex_);
    auto& s = sites_[static_cast<std::size_t>(site)];
    ++s.calls;
    if (s.failAt != 0 && s.calls == s.failAt) {
        s.hit = true;
        return true;
    }
    return false;
}

bool FaultPlan::Hit(FaultSite site) const
{
    std::lock_guard lock(mutex_);
    return sites_[static_cast<std::size_t>(site)].hit;
}

std::uint64_t FaultPlan::Calls(FaultSite site) const
{
    std::lock_guard lock(mutex_);
    return sites_[static_cast<std::size_t>(site)].calls;
}

}  // namespace emu

using emu::detail::K;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    EMU_ENTRY(ExAllocatePoolWithTag);
    emu::detail::SchedulePoint();
    void* caller = __builtin_return_address(0);
    void* block = K().pool.Allocate(PoolType, NumberOfBytes, Tag, caller);
    K().races.PoolAllocated(block, NumberOfBytes, Tag, caller);
    return block;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    EMU_ENTRY(ExFreePoolWithTag);
    K().races.PoolFreed(P, __builtin_return_address(0));
    K().pool.Free(P, Tag, true);
}

VOID ExFreePool(PVOID P)
{
    EMU_ENTRY(ExFreePool);
    K().races.PoolFreed(P, __builtin_return_address(0));
    K().pool.Free(P, 0, false);
}

}  // extern "C"
