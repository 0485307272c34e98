// System worker threads: the backlog, growth on demand, draining and shutdown.
#include "WorkQueues.h"

#include "Kernel.h"

namespace emu::detail {

WorkQueues::~WorkQueues()
{
    // Stop runs at shutdown while the system is still current; by now every
    // worker has been joined.
    if (!workers_.empty()) BugCheck("the work queues were destroyed with their workers still running");
}

bool WorkQueues::Queue(Job job)
{
    Worker* wake = nullptr;
    bool create = false;
    std::size_t number = 0;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return false;
        backlog_.push_back(std::move(job));
        ++outstanding_;
        for (auto& worker : workers_) {
            if (!worker->busy) {
                worker->busy = true;
                wake = worker.get();
                break;
            }
        }
        if (!wake && workers_.size() + starting_ < kMaxWorkers) {
            ++starting_;
            create = true;
            number = workers_.size() + starting_;
        }
    }
    if (create) {
        auto worker = std::make_unique<Worker>();
        worker->busy = true;
        worker->thread = std::make_unique<SystemThread>("worker-" + std::to_string(number));
        wake = worker.get();
        std::lock_guard lock(mutex_);
        --starting_;
        workers_.push_back(std::move(worker));
    }
    if (wake) wake->thread->Post([this, wake] { Serve(wake); });
    NotifyStateChanged();
    return true;
}

void WorkQueues::Serve(Worker* worker)
{
    for (;;) {
        Job job;
        {
            std::lock_guard lock(mutex_);
            if (backlog_.empty()) {
                worker->busy = false;
                return;
            }
            job = std::move(backlog_.front());
            backlog_.pop_front();
            ++running_;
        }
        job();
        {
            std::lock_guard lock(mutex_);
            --running_;
            --outstanding_;
        }
        NotifyStateChanged();
    }
}

void WorkQueues::Drain()
{
    WaitUntil(
        [this] {
            std::lock_guard lock(mutex_);
            return outstanding_ == 0;
        },
        "every queued work item to run");
}

void WorkQueues::Stop()
{
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
    }
    Drain();
    std::vector<std::unique_ptr<Worker>> workers;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        workers.swap(workers_);
    }
    workers.clear();  // each SystemThread runs what was posted to it, then joins
}

WorkQueueState WorkQueues::State()
{
    std::lock_guard lock(mutex_);
    return {backlog_.size(), running_, workers_.size()};
}

}  // namespace emu::detail

namespace emu {

WorkQueueState InspectWorkQueues() { return detail::K().workQueues.State(); }

void DrainWorkQueues() { detail::K().workQueues.Drain(); }

}  // namespace emu
