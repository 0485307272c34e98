#include "ManagerThread.h"

namespace emu::detail {

void ManagerThread::Post(std::function<void()> job)
{
    std::unique_lock lock(mutex_);
    if (stopped_) {
        lock.unlock();
        job();
        return;
    }
    if (!thread_) thread_ = std::make_unique<SystemThread>(name_);
    SystemThread* thread = thread_.get();
    lock.unlock();
    thread->Post(std::move(job));
}

void ManagerThread::Drain()
{
    SystemThread* thread;
    {
        std::lock_guard lock(mutex_);
        thread = thread_.get();
    }
    if (thread) thread->Drain();
}

void ManagerThread::Shutdown()
{
    std::unique_ptr<SystemThread> thread;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        thread = std::move(thread_);
    }
    thread.reset();  // runs what is queued, then stops
}

}  // namespace emu::detail
