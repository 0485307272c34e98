// The system's worker threads. Queued jobs wait in one backlog; an idle worker
// is woken for each, and when every worker is busy (a work item may block for a
// long time, waiting for USB quiet, say) a new worker is started, up to a
// bound. Past the bound jobs wait until a worker finishes. So one blocked job
// never starves another while the bound is not reached.
//
// Thread-safe; Queue may be called at any IRQL up to
// DISPATCH_LEVEL (the host thread creation Queue may do is invisible to the
// driver). Jobs run at PASSIVE_LEVEL on emu::SystemThread workers, without any
// lock of this class held. Drain and Stop run on a thread that is not a
// worker; Stop runs at shutdown.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "emu/Threads.h"
#include "emu/WorkQueues.h"

namespace emu::detail {

class WorkQueues {
public:
    static constexpr std::size_t kMaxWorkers = kMaxWorkerThreads;

    using Job = std::function<void()>;

    WorkQueues() = default;
    ~WorkQueues();
    WorkQueues(const WorkQueues&) = delete;
    WorkQueues& operator=(const WorkQueues&) = delete;

    // False once the queues were stopped: the job is not run.
    bool Queue(Job job);
    void Drain();
    // Drains, then stops and joins every worker. Idempotent.
    void Stop();
    WorkQueueState State();

private:
    struct Worker {
        std::unique_ptr<SystemThread> thread;
        bool busy = false;
    };
    void Serve(Worker* worker);

    std::mutex mutex_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::size_t starting_ = 0;  // workers being created outside the lock
    std::deque<Job> backlog_;
    std::size_t outstanding_ = 0;  // queued or running
    std::size_t running_ = 0;
    bool stopped_ = false;
};

}  // namespace emu::detail
