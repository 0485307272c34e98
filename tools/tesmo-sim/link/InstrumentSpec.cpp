#include "link/InstrumentSpec.h"

#include <algorithm>
#include <charconv>

namespace tesmo::sim {

namespace {

// Within the ranges control.h gives tesmo_plug.
constexpr std::int64_t kMaxLatencyMs = 3'600'000;
constexpr std::uint64_t kMaxBytesPerSecond = 100'000'000;
constexpr std::uint32_t kMaxBurst = 1024;
constexpr std::size_t kMaxIdentity = 255;

template <typename Number>
bool Within(std::string_view text, Number max, Number& value)
{
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size() && value <= max;
}

}  // namespace

std::variant<InstrumentSpec, std::string> ParseInstrumentSpec(std::string_view text)
{
    InstrumentSpec spec;
    std::string_view kind = text.substr(0, text.find(':'));
    if (kind == "command") spec.kind = InstrumentSpec::Kind::Command;
    else if (kind == "loopback") spec.kind = InstrumentSpec::Kind::Loopback;
    else if (kind == "stream") spec.kind = InstrumentSpec::Kind::Stream;
    else return "unknown instrument kind \"" + std::string(kind) + "\" (command, loopback or stream)";
    std::string_view rest = kind.size() < text.size() ? text.substr(kind.size() + 1) : std::string_view();
    while (!rest.empty()) {
        if (rest.starts_with("identity=")) {
            if (spec.kind != InstrumentSpec::Kind::Command) return "identity= is for the command instrument";
            spec.identity = rest.substr(9);
            if (spec.identity.size() > kMaxIdentity) return "identity= takes at most 255 characters";
            break;
        }
        std::string_view option = rest.substr(0, rest.find(':'));
        rest = option.size() < rest.size() ? rest.substr(option.size() + 1) : std::string_view();
        std::string_view value = option.substr(option.find('=') + 1);
        if (option == "512" || option == "64") {
            spec.packetSize = option == "512" ? 512 : 64;
        } else if (option.starts_with("serial=")) {
            spec.serialNumber = value;
            bool fits = !value.empty() && value.size() <= 126;
            for (char c : value) fits = fits && c > ' ' && c <= '~' && c != ',' && c != '\\';
            if (!fits) return "serial= takes 1 to 126 printable characters, no blank, comma or backslash";
        } else if (option.starts_with("eol=") && spec.kind == InstrumentSpec::Kind::Command) {
            if (value == "lf") spec.lineEnd = "\n";
            else if (value == "crlf") spec.lineEnd = "\r\n";
            else if (value == "cr") spec.lineEnd = "\r";
            else return "eol= takes lf, crlf or cr";
        } else if (option.starts_with("answers=") && spec.kind == InstrumentSpec::Kind::Command) {
            if (value.empty()) return "answers= takes a file";
            spec.answersPath = value;
        } else if (option == "frames") {
            spec.frameTiming = true;
        } else if (option.starts_with("latency=") && spec.kind == InstrumentSpec::Kind::Command) {
            if (!Within(value, kMaxLatencyMs, spec.latencyMs) || spec.latencyMs < 0) {
                return "latency= takes milliseconds from 0 to 3600000";
            }
        } else if (option.starts_with("rate=") && spec.kind == InstrumentSpec::Kind::Stream) {
            if (!Within(value, kMaxBytesPerSecond, spec.bytesPerSecond)) {
                return "rate= takes bytes per second from 0 (as fast as asked) to 100000000";
            }
        } else if (option.starts_with("burst=") && spec.kind == InstrumentSpec::Kind::Stream) {
            if (!Within(value, kMaxBurst, spec.burstPackets)) return "burst= takes packets from 0 to 1024";
        } else {
            return "unknown option \"" + std::string(option) + "\" for " + std::string(kind);
        }
    }
    return spec;
}

std::variant<std::string, std::string> AnswersFromFile(std::string_view content)
{
    constexpr std::string_view kArrows[] = {"=>", "\u2192"};
    std::string answers;
    int number = 0;
    while (!content.empty()) {
        std::string_view line = content.substr(0, content.find('\n'));
        content.remove_prefix(std::min(content.size(), line.size() + 1));
        ++number;
        if (line.ends_with('\r')) line.remove_suffix(1);
        std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') continue;
        std::size_t arrow = std::string_view::npos, arrowSize = 0;
        for (std::string_view candidate : kArrows) {
            if (std::size_t at = line.find(candidate); at < arrow) {
                arrow = at;
                arrowSize = candidate.size();
            }
        }
        auto trimmed = [](std::string_view text) {
            std::size_t from = text.find_first_not_of(" \t"), to = text.find_last_not_of(" \t");
            return from == std::string_view::npos ? std::string_view() : text.substr(from, to - from + 1);
        };
        std::string_view command = arrow == std::string_view::npos ? "" : trimmed(line.substr(0, arrow));
        if (command.empty() || command.find('=') != std::string_view::npos) {
            return std::variant<std::string, std::string>(std::in_place_index<1>, "line " + std::to_string(number) +
                                                                                      ": not \"COMMAND => ANSWER\"");
        }
        answers += std::string(command) + "=" + std::string(trimmed(line.substr(arrow + arrowSize))) + "\n";
    }
    if (answers.empty()) return std::variant<std::string, std::string>(std::in_place_index<1>, "no answers in it");
    return std::variant<std::string, std::string>(std::in_place_index<0>, answers);
}

}  // namespace tesmo::sim
