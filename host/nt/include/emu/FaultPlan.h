// Fault injection: fail the Nth call at a site (pool allocation, IRP build,
// work-item allocation) counted from when the plan was armed. A systematic run
// arms N = 1, 2, ... in fresh systems until a run no longer reaches N.
//
// Thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

namespace emu {

enum class FaultSite { Pool, IrpBuild, WorkItem, Count };

class FaultPlan {
public:
    // The nth call at the site from now fails (1 = the next one); 0 disarms.
    void FailNth(FaultSite site, std::uint64_t n);
    void Disarm();
    // Counts a call at the site; true when this one is to fail.
    bool ShouldFail(FaultSite site);
    // Whether the armed failure was injected.
    bool Hit(FaultSite site) const;
    std::uint64_t Calls(FaultSite site) const;

private:
    struct SiteState {
        std::uint64_t calls = 0;
        std::uint64_t failAt = 0;
        bool hit = false;
    };
    mutable std::mutex mutex_;
    std::array<SiteState, static_cast<std::size_t>(FaultSite::Count)> sites_{};
};

}  // namespace emu
