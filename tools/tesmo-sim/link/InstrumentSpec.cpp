#include "link/InstrumentSpec.h"

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

}  // namespace tesmo::sim
