// The system worker threads that run work items (IoQueueWorkItem): what tests
// can see of them and how they wait for queued work to finish.
//
// Any thread except a worker itself (a worker that drains would wait for its
// own job). Emulated time does not move while draining; a work item that waits
// for time to pass must be released by the test first.
#pragma once

#include <cstddef>

namespace emu {

// Workers are started as work arrives and every worker is busy, up to this
// many; past it, work waits for a worker to finish.
constexpr std::size_t kMaxWorkerThreads = 16;

struct WorkQueueState {
    std::size_t queued;   // work items waiting for a worker
    std::size_t running;  // work items whose routine is running
    std::size_t workers;  // worker threads started so far
};

WorkQueueState InspectWorkQueues();

// Blocks until every work item queued so far, and everything those queue in
// turn, has run. Fails the watchdog if that does not happen in time.
void DrainWorkQueues();

}  // namespace emu
