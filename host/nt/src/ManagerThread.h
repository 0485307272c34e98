// The thread of one of the system's managers (PnP, power): started by the
// first job posted to it, so that a system that never uses a manager pays
// for no thread. Private to the emulation.
//
// Threading: Post and Shutdown may be called from any thread. After Shutdown
// (which runs what is queued, then stops the thread) a job runs on the
// poster's own thread: nothing posted is ever lost.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "emu/Threads.h"

namespace emu::detail {

class ManagerThread {
public:
    explicit ManagerThread(std::string name) : name_(std::move(name)) {}

    void Post(std::function<void()> job);
    // Blocks until every job posted so far has run (not from the thread itself).
    void Drain();
    void Shutdown();

private:
    const std::string name_;
    std::mutex mutex_;  // guards the two below
    std::unique_ptr<SystemThread> thread_;
    bool stopped_ = false;
};

}  // namespace emu::detail
