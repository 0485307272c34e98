#include "InstrumentSpec.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "instrument/CommandInstrument.h"
#include "instrument/LoopbackInstrument.h"
#include "instrument/StreamingSource.h"
#include "usb/Descriptors.h"

namespace tesmo::control {

namespace {

using emu::usb::DescriptorSet;
using emu::usb::Speed;

std::optional<DescriptorSet> Layout(int layout, Speed speed)
{
    namespace d = emu::usb::descriptors;
    switch (layout) {
    case TESMO_LAYOUT_STANDARD: return d::StandardInstrument(speed);
    case TESMO_LAYOUT_WITHOUT_INTERFACE1: return d::WithoutInterface1(speed);
    case TESMO_LAYOUT_INTERFACE1_THREE_PIPES: return d::Interface1WithThreePipes(speed);
    case TESMO_LAYOUT_IN_ENDPOINT_0X81: return d::InEndpointAt0x81(speed);
    case TESMO_LAYOUT_OUT_ENDPOINT_0X02: return d::OutEndpointAt0x02(speed);
    case TESMO_LAYOUT_INTERFACE_NUMBER_GAP: return d::InterfaceNumberGap(speed);
    default: return std::nullopt;
    }
}

// The "HEADER=ANSWER" lines of tesmo_instrument.answers; none for a text
// too long, a line without '=' or an empty header.
std::vector<std::pair<std::string, std::string>> AnswersOf(const char* text)
{
    std::size_t length = strnlen(text, TESMO_MAX_ANSWERS_LENGTH + 1);
    if (length == 0 || length > TESMO_MAX_ANSWERS_LENGTH) return {};
    std::vector<std::pair<std::string, std::string>> answers;
    std::string_view rest(text, length);
    while (!rest.empty()) {
        std::string_view line = rest.substr(0, rest.find('\n'));
        rest.remove_prefix(std::min(rest.size(), line.size() + 1));
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.empty()) continue;
        std::size_t equals = line.find('=');
        if (equals == 0 || equals == std::string_view::npos) return {};
        answers.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return answers;
}

std::unique_ptr<emu::usb::Instrument> CommandFrom(const tesmo_instrument& spec)
{
    if (spec.latency < 0 || spec.latency > TESMO_MAX_LATENCY) return nullptr;
    // Read no further than one character past the limit: the caller's text
    // may not be terminated where it should.
    if (spec.identity && strnlen(spec.identity, TESMO_MAX_IDENTITY_LENGTH + 1) > TESMO_MAX_IDENTITY_LENGTH) {
        return nullptr;
    }
    emu::usb::CommandInstrumentOptions options;
    if (spec.identity) options.identity = spec.identity;
    options.latency = spec.latency;
    switch (spec.line_end) {
    case TESMO_LINE_END_LF: break;
    case TESMO_LINE_END_CRLF: options.lineEnd = "\r\n"; break;
    case TESMO_LINE_END_CR: options.lineEnd = "\r"; break;
    default: return nullptr;
    }
    auto answers = spec.answers ? AnswersOf(spec.answers) : std::vector<std::pair<std::string, std::string>>{};
    if (spec.answers && answers.empty()) return nullptr;
    auto instrument = std::make_unique<emu::usb::CommandInstrument>(std::move(options));
    for (auto& [header, answer] : answers) instrument->SetAnswer(header, answer + "\n");
    return instrument;
}

std::unique_ptr<emu::usb::Instrument> StreamFrom(const tesmo_instrument& spec)
{
    // The source allocates a burst at a time, and at a rate what a tick owes.
    if (spec.burst_packets > TESMO_MAX_BURST_PACKETS || spec.bytes_per_second > TESMO_MAX_BYTES_PER_SECOND) {
        return nullptr;
    }
    emu::usb::StreamingSourceOptions options;
    options.bytesPerSecond = spec.bytes_per_second;
    if (spec.burst_packets != 0) options.burstPackets = spec.burst_packets;
    options.running = spec.running != 0;
    return std::make_unique<emu::usb::StreamingSource>(std::move(options));
}

// The instance ID a serial number gives, or nothing for one the platform
// would not take as an instance ID.
std::optional<std::u16string> SerialNumberInstance(const char* serial)
{
    std::size_t length = strnlen(serial, TESMO_MAX_SERIAL_NUMBER_LENGTH + 1);
    if (length == 0 || length > TESMO_MAX_SERIAL_NUMBER_LENGTH) return std::nullopt;
    std::u16string instance;
    for (std::size_t i = 0; i < length; ++i) {
        char c = serial[i];
        if (c <= ' ' || c > '~' || c == ',' || c == '\\') return std::nullopt;
        instance.push_back(static_cast<char16_t>(c));
    }
    return instance;
}

}  // namespace

bool InitInstrumentSpec(tesmo_instrument& spec, int kind)
{
    if (kind != TESMO_INSTRUMENT_COMMAND && kind != TESMO_INSTRUMENT_STREAM && kind != TESMO_INSTRUMENT_LOOPBACK) {
        return false;
    }
    spec = tesmo_instrument{};
    spec.struct_size = sizeof(tesmo_instrument);
    spec.kind = kind;
    spec.layout = TESMO_LAYOUT_STANDARD;
    spec.packet_size = 64;
    spec.running = 1;
    return true;
}

InstrumentBuild BuildInstrument(const tesmo_instrument& given)
{
    InstrumentBuild build;
    // Callers built before serial_number pass the shorter size.
    constexpr std::size_t kBeforeSerialNumber = offsetof(tesmo_instrument, serial_number);
    if (given.struct_size != sizeof(tesmo_instrument) && given.struct_size != kBeforeSerialNumber) return build;
    tesmo_instrument spec{};
    std::memcpy(&spec, &given, given.struct_size);
    if (spec.serial_number) {
        auto serial = SerialNumberInstance(spec.serial_number);
        if (!serial) return build;
        build.config.instanceId = std::move(*serial);
    }
    if (spec.packet_size != 64 && spec.packet_size != 512) return build;
    Speed speed = spec.packet_size == 512 ? Speed::High : Speed::Full;
    std::optional<DescriptorSet> descriptors = Layout(spec.layout, speed);
    if (!descriptors) return build;
    build.config.descriptors = std::move(*descriptors);
    build.config.frameTiming = spec.frame_timing != 0;
    switch (spec.kind) {
    case TESMO_INSTRUMENT_COMMAND: build.instrument = CommandFrom(spec); break;
    case TESMO_INSTRUMENT_STREAM: build.instrument = StreamFrom(spec); break;
    case TESMO_INSTRUMENT_LOOPBACK: build.instrument = std::make_unique<emu::usb::LoopbackInstrument>(); break;
    default: break;
    }
    return build;
}

}  // namespace tesmo::control
