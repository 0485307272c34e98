// What the benchmarks measure besides Google Benchmark's own timing: a
// baseline taken in the same run (so that each row prints its ratio, not a
// number to compare by hand with another run's), the process's context
// switches, and wall time against emulated time.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

namespace tesmo::bench {

inline double WallSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Voluntary and involuntary context switches of every thread of the process.
inline std::int64_t ContextSwitches()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// Seconds per call of `call`: the median of `batches` batches of `calls`.
template <class Call>
double SecondsPerCall(Call&& call, int calls, int batches = 5)
{
    call();  // warm
    std::vector<double> perCall;
    for (int b = 0; b < batches; ++b) {
        double start = WallSeconds();
        for (int i = 0; i < calls; ++i) call();
        perCall.push_back((WallSeconds() - start) / calls);
    }
    std::nth_element(perCall.begin(), perCall.begin() + batches / 2, perCall.end());
    return perCall[batches / 2];
}

// Wall time and context switches over the timed loop of a benchmark.
class LoopMeter {
public:
    LoopMeter() : wall_(WallSeconds()), switches_(ContextSwitches()) {}
    double SecondsPerIteration(std::int64_t iterations) const
    {
        return (WallSeconds() - wall_) / static_cast<double>(std::max<std::int64_t>(iterations, 1));
    }
    double SwitchesPerIteration(std::int64_t iterations) const
    {
        return static_cast<double>(ContextSwitches() - switches_) / static_cast<double>(std::max<std::int64_t>(iterations, 1));
    }

private:
    double wall_;
    std::int64_t switches_;
};

}  // namespace tesmo::bench
