#include "emu/EventTimeline.h"

#include "emu/Threads.h"

namespace emu {

namespace {

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string Args(const std::string& args) { return args.empty() ? std::string() : ", \"args\": {" + args + "}"; }

}  // namespace

std::unique_ptr<EventTimeline> EventTimeline::Open(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return nullptr;
    return std::unique_ptr<EventTimeline>(new EventTimeline(file));
}

EventTimeline::EventTimeline(std::FILE* file) : file_(file), start_(std::chrono::steady_clock::now())
{
    std::fputs("{\"displayTimeUnit\": \"ns\", \"traceEvents\": [\n", file_);
    std::lock_guard lock(mutex_);
    WriteLocked(
        "{\"ph\": \"M\", \"name\": \"process_name\", \"pid\": 1, \"tid\": 0, \"args\": {\"name\": "
        "\"emulated system\"}}");
}

EventTimeline::~EventTimeline()
{
    std::fputs("\n]}\n", file_);
    std::fclose(file_);
}

std::string EventTimeline::Json(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

double EventTimeline::Now() const
{
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start_).count();
}

int EventTimeline::TrackLocked()
{
    auto [it, added] = tracks_.emplace(std::this_thread::get_id(), static_cast<int>(tracks_.size() + 1));
    if (added) {
        std::string name = ThreadName();
        if (name.empty()) name = "thread " + std::to_string(it->second);
        WriteLocked("{\"ph\": \"M\", \"name\": \"thread_name\", \"pid\": 1, \"tid\": " + std::to_string(it->second) +
                    ", \"args\": {\"name\": " + Json(name) + "}}");
    }
    return it->second;
}

void EventTimeline::WriteLocked(const std::string& event)
{
    if (!first_) std::fputs(",\n", file_);
    first_ = false;
    std::fputs(event.c_str(), file_);
}

void EventTimeline::Slice(const std::string& name, const char* category, double begin, double end,
                          const std::string& args)
{
    std::lock_guard lock(mutex_);
    int track = TrackLocked();
    WriteLocked("{\"ph\": \"X\", \"name\": " + Json(name) + ", \"cat\": \"" + category +
                "\", \"pid\": 1, \"tid\": " + std::to_string(track) + ", \"ts\": " + Number(begin) +
                ", \"dur\": " + Number(end - begin) + Args(args) + "}");
}

void EventTimeline::Instant(const std::string& name, const char* category, char scope, const std::string& args)
{
    double now = Now();
    std::lock_guard lock(mutex_);
    int track = TrackLocked();
    WriteLocked("{\"ph\": \"i\", \"name\": " + Json(name) + ", \"cat\": \"" + category + "\", \"s\": \"" +
                std::string(1, scope) + "\", \"pid\": 1, \"tid\": " + std::to_string(track) +
                ", \"ts\": " + Number(now) + Args(args) + "}");
}

void EventTimeline::FlowStart(std::uint64_t id, double at)
{
    std::lock_guard lock(mutex_);
    int track = TrackLocked();
    WriteLocked("{\"ph\": \"s\", \"name\": \"completion\", \"cat\": \"flow\", \"id\": " + std::to_string(id) +
                ", \"pid\": 1, \"tid\": " + std::to_string(track) + ", \"ts\": " + Number(at) + "}");
}

void EventTimeline::FlowEnd(std::uint64_t id, double at)
{
    std::lock_guard lock(mutex_);
    int track = TrackLocked();
    WriteLocked(
        "{\"ph\": \"f\", \"bp\": \"e\", \"name\": \"completion\", \"cat\": \"flow\", \"id\": " + std::to_string(id) +
        ", \"pid\": 1, \"tid\": " + std::to_string(track) + ", \"ts\": " + Number(at) + "}");
}

void EventTimeline::AsyncBegin(std::uint64_t id, const std::string& name, const char* category, const std::string& args)
{
    AsyncEvent('b', id, name, category, args);
}

void EventTimeline::AsyncEnd(std::uint64_t id, const std::string& name, const char* category, const std::string& args)
{
    AsyncEvent('e', id, name, category, args);
}

void EventTimeline::AsyncEvent(char phase, std::uint64_t id, const std::string& name, const char* category,
                               const std::string& args)
{
    double now = Now();
    std::lock_guard lock(mutex_);
    int track = TrackLocked();
    WriteLocked(std::string("{\"ph\": \"") + phase + "\", \"name\": " + Json(name) + ", \"cat\": \"" + category +
                "\", \"id\": " + std::to_string(id) + ", \"pid\": 1, \"tid\": " + std::to_string(track) +
                ", \"ts\": " + Number(now) + Args(args) + "}");
}

void EventTimeline::Counter(const std::string& name, const char* category, const std::string& series,
                            std::int64_t value)
{
    double now = Now();
    std::lock_guard lock(mutex_);
    int track = TrackLocked();
    WriteLocked("{\"ph\": \"C\", \"name\": " + Json(name) + ", \"cat\": \"" + category +
                "\", \"pid\": 1, \"tid\": " + std::to_string(track) + ", \"ts\": " + Number(now) +
                Args(Json(series) + ": " + std::to_string(value)) + "}");
}

}  // namespace emu
