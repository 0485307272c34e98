// What the emulated system did, over time, as trace events in the JSON that
// Perfetto's UI and chrome://tracing open: one track per thread (its name
// as the emulation knows it); every IoCallDriver as a slice on the calling
// thread from the call into the dispatch routine to its return, and every
// completion routine as a slice on the completing thread, joined by a flow
// from the call that set the routine's stack location to the routine; each
// IRP's life from its first IoCallDriver to the end of its completion as an
// asynchronous slice; PnP and power sequences and verifier findings as
// instant events; the requests a driver holds in its queue as asynchronous
// slices and their number as a counter (the queue gate, host/nt/src/QueueGate.h). Times are the wall clock's, in
// microseconds from the start (the emulated time, which often stands still while work is done, is in each event's
// arguments).
//
// Thread-safe; events are written as they end, the file closed (and its
// JSON completed) when the timeline is destroyed.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace emu {

class EventTimeline {
public:
    // Null when the file cannot be written.
    static std::unique_ptr<EventTimeline> Open(const std::string& path);
    ~EventTimeline();
    EventTimeline(const EventTimeline&) = delete;
    EventTimeline& operator=(const EventTimeline&) = delete;

    // Microseconds since the timeline was opened.
    double Now() const;

    // `args` is the inside of a JSON object ("\"irp\": \"0x1\"") or empty.
    void Slice(const std::string& name, const char* category, double begin, double end, const std::string& args);
    // scope 't' (the thread), 'p' (the process) or 'g' (everything).
    void Instant(const std::string& name, const char* category, char scope, const std::string& args);
    // A flow's start and its end, each bound to the slice around `at` on
    // the calling thread.
    void FlowStart(std::uint64_t id, double at);
    void FlowEnd(std::uint64_t id, double at);
    void AsyncBegin(std::uint64_t id, const std::string& name, const char* category, const std::string& args);
    void AsyncEnd(std::uint64_t id, const std::string& name, const char* category, const std::string& args = "");
    // A counter's value from now on: the track `name`, one line per `series`.
    void Counter(const std::string& name, const char* category, const std::string& series, std::int64_t value);

    // A text as a JSON string, quotes included.
    static std::string Json(const std::string& text);

private:
    // An asynchronous slice's begin ('b') or end ('e').
    void AsyncEvent(char phase, std::uint64_t id, const std::string& name, const char* category,
                    const std::string& args);
    explicit EventTimeline(std::FILE* file);
    // The calling thread's track, named when it first appears.
    int TrackLocked();
    void WriteLocked(const std::string& event);

    std::mutex mutex_;
    std::FILE* file_;
    bool first_ = true;
    const std::chrono::steady_clock::time_point start_;
    std::map<std::thread::id, int> tracks_;
};

}  // namespace emu
