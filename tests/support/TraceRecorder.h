// Attaches a trace sink to the system for the lifetime of the recorder and
// keeps every line the driver emits, with its level and component.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "emu/System.h"

namespace tesmo::test {

struct TraceLine {
    std::uint32_t level;
    std::uint32_t component;
    std::string text;
};

class TraceRecorder {
public:
    explicit TraceRecorder(emu::System& system);
    ~TraceRecorder();
    TraceRecorder(const TraceRecorder&) = delete;
    TraceRecorder& operator=(const TraceRecorder&) = delete;

    std::vector<TraceLine> Lines() const;
    std::vector<std::string> Texts() const;
    // Lines whose text contains `fragment`.
    std::vector<TraceLine> Matching(const std::string& fragment) const;
    bool Contains(const std::string& text) const;
    void Clear();

private:
    emu::System& system_;
    mutable std::mutex mutex_;
    std::vector<TraceLine> lines_;
};

}  // namespace tesmo::test
