#include "TracePrinter.h"

#include <cstdio>
#include <string>

namespace tesmo::sim {

namespace {

const char* ComponentName(std::uint32_t component)
{
    static const char* const names[] = {"driver", "pnp", "power", "open", "ioctl", "write",
                                        "read",   "io#", "queue", "data", "usb"};
    for (unsigned bit = 0; bit < 11; ++bit) {
        if (component == (1u << bit)) return names[bit];
    }
    return "?";
}

}  // namespace

void TracePrinter::Callback(void* context, std::uint32_t level, std::uint32_t component, const char* text)
{
    static_cast<TracePrinter*>(context)->Print(level, component, text);
}

void TracePrinter::Print(std::uint32_t level, std::uint32_t component, const char* text)
{
    if (level > maxLevel_) return;
    // A line in pieces is joined per thread: other threads may trace between them.
    thread_local std::string pending;
    pending += text;
    if (pending.empty() || pending.back() != '\n') return;
    pending.pop_back();
    // The hex dump's closing line end comes alone: nothing to show.
    if (pending.empty()) return;
    std::lock_guard lock(mutex_);
    std::printf("    %u %-6s| %s\n", level, ComponentName(component), pending.c_str());
    std::fflush(stdout);
    pending.clear();
}

}  // namespace tesmo::sim
