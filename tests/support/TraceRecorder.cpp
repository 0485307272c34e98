#include "TraceRecorder.h"

namespace tesmo::test {

TraceRecorder::TraceRecorder(emu::System& system) : system_(system)
{
    system_.SetTraceSink([this](std::uint32_t level, std::uint32_t component, std::string_view text) {
        std::lock_guard lock(mutex_);
        lines_.push_back(TraceLine{level, component, std::string(text)});
    });
}

TraceRecorder::~TraceRecorder() { system_.ClearTraceSink(); }

std::vector<TraceLine> TraceRecorder::Lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> TraceRecorder::Texts() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& line : lines_) texts.push_back(line.text);
    return texts;
}

std::vector<TraceLine> TraceRecorder::Matching(const std::string& fragment) const
{
    std::lock_guard lock(mutex_);
    std::vector<TraceLine> found;
    for (const auto& line : lines_) {
        if (line.text.find(fragment) != std::string::npos) found.push_back(line);
    }
    return found;
}

bool TraceRecorder::Contains(const std::string& text) const
{
    std::lock_guard lock(mutex_);
    for (const auto& line : lines_) {
        if (line.text == text) return true;
    }
    return false;
}

void TraceRecorder::Clear()
{
    std::lock_guard lock(mutex_);
    lines_.clear();
}

}  // namespace tesmo::test
