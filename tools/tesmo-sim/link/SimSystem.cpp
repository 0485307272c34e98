#include "link/SimSystem.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <fstream>
#include <sstream>

#include "EventLogDecoder.h"
#include "ErrorText.h"

namespace tesmo::sim {

namespace {

struct DeviceCommandLine {
    const char* synopsis;
    const char* what;
};

const DeviceCommandLine kDeviceCommands[] = {
    {"unplug [DEVICE]", "pulls the instrument out (the port closes)"},
    {"replug [DEVICE]", "pulls it out if need be and plugs it in again (its COM name stays)"},
    {"rebalance [DEVICE]", "stops and starts the device (QUERY_STOP, STOP, START)"},
    {"disable [DEVICE]", "removes the driver (refused while the port is open)"},
    {"enable [DEVICE]", "installs and starts it again"},
    {"sleep [1-5]", "sleeps the system (S3 unless given; 4 hibernates, 5 shuts down)"},
    {"wake", "wakes the system"},
    {"state [DEVICE]", "started, unplugged, removed"},
    {"log [DEVICE]", "the driver's event log, decoded"},
    {"advance MS", "moves the emulated clock on"},
    {"quit", "ends, with the verifier's report (so does Ctrl-C)"},
};

// `status` is taken by reference: callers pass the variable that the call in
// their first argument fills, and by value it could be read before that call.
bool Report(tesmo_result result, const std::int32_t& status, const std::string& what, std::FILE* out)
{
    if (result == TESMO_OK) {
        std::fprintf(out, "%s: done\n", what.c_str());
    } else if (result == TESMO_E_REFUSED) {
        std::fprintf(out, "%s: refused: %s\n", what.c_str(), NtStatusText(status).c_str());
    } else {
        std::fprintf(out, "%s: %s\n", what.c_str(), ResultText(result).c_str());
    }
    std::fflush(out);
    return result == TESMO_OK;
}

tesmo_instrument ToInstrument(const InstrumentSpec& spec)
{
    int kind = spec.kind == InstrumentSpec::Kind::Command    ? TESMO_INSTRUMENT_COMMAND
               : spec.kind == InstrumentSpec::Kind::Loopback ? TESMO_INSTRUMENT_LOOPBACK
                                                             : TESMO_INSTRUMENT_STREAM;
    tesmo_instrument instrument;
    tesmo_instrument_init(&instrument, kind);
    instrument.packet_size = spec.packetSize;
    instrument.frame_timing = spec.frameTiming ? 1 : 0;
    instrument.latency = spec.latencyMs * kTicksPerMillisecond;
    instrument.bytes_per_second = spec.bytesPerSecond;
    instrument.burst_packets = spec.burstPackets;
    // Point into the parsed instrument, which outlives the plug-in call.
    if (!spec.identity.empty()) instrument.identity = spec.identity.c_str();
    if (!spec.serialNumber.empty()) instrument.serial_number = spec.serialNumber.c_str();
    if (!spec.answers.empty()) instrument.answers = spec.answers.c_str();
    instrument.line_end = spec.lineEnd == "\r\n" ? TESMO_LINE_END_CRLF
                          : spec.lineEnd == "\r" ? TESMO_LINE_END_CR
                                                 : TESMO_LINE_END_LF;
    return instrument;
}

}  // namespace

std::string DeviceCommandHelp(std::string_view prefix)
{
    std::string text;
    for (const auto& command : kDeviceCommands) {
        char line[160];
        std::snprintf(line, sizeof line, "  %.*s%-19s %s\n", static_cast<int>(prefix.size()), prefix.data(),
                      command.synopsis, command.what);
        text += line;
    }
    text += "  DEVICE is the number printed at plug-in; without it, the last device plugged.\n";
    return text;
}

std::optional<std::string> ParseInstruments(const std::vector<std::string>& texts,
                                            std::vector<InstrumentSpec>& instruments)
{
    for (const std::string& text : texts) {
        auto parsed = ParseInstrumentSpec(text);
        if (auto* why = std::get_if<std::string>(&parsed)) return text + ": " + *why;
        InstrumentSpec spec = std::get<InstrumentSpec>(parsed);
        if (!spec.answersPath.empty()) {
            std::ifstream file(spec.answersPath);
            std::stringstream content;
            content << file.rdbuf();
            if (!file) return spec.answersPath + ": cannot be read";
            auto answers = AnswersFromFile(content.str());
            if (answers.index() == 1) return spec.answersPath + ": " + std::get<1>(answers);
            spec.answers = std::get<0>(answers);
        }
        instruments.push_back(std::move(spec));
    }
    return std::nullopt;
}

SimSystem::SimSystem(Clock clock)
{
    tesmo_boot_options options;
    tesmo_boot_options_init(&options);
    options.verifier_mode = TESMO_VERIFIER_RECORD;
    options.auto_advance_clock = clock == Clock::Automatic ? TESMO_CLOCK_SELF_ADVANCING : TESMO_CLOCK_WALL;
    tesmo_result result = tesmo_boot(&options);
    if (result != TESMO_OK) {
        std::fprintf(stderr, "tesmo-sim: boot failed: %s\n", tesmo_result_text(result));
        return;
    }
    booted_ = true;
}

SimSystem::~SimSystem()
{
    if (booted_) Shutdown(stdout);
}

bool SimSystem::Capture(const std::string& path)
{
    if (tesmo_usb_capture(path.c_str()) == TESMO_OK) return true;
    std::fprintf(stderr, "tesmo-sim: cannot write the USB capture %s\n", path.c_str());
    return false;
}

bool SimSystem::Timeline(const std::string& path)
{
    if (tesmo_timeline(path.c_str()) == TESMO_OK) return true;
    std::fprintf(stderr, "tesmo-sim: cannot write the timeline %s\n", path.c_str());
    return false;
}

std::optional<std::int32_t> SimSystem::Plug(const InstrumentSpec& given)
{
    // Each instrument of the session has a serial number, so that it keeps
    // its COM name when it is replugged.
    InstrumentSpec spec = given;
    if (spec.serialNumber.empty()) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "TSM%04u", ++serialNumbers_);
        spec.serialNumber = serial;
    }
    return PlugAsGiven(spec);
}

std::optional<std::int32_t> SimSystem::PlugAsGiven(const InstrumentSpec& spec)
{
    std::int32_t device = 0, status = 0;
    tesmo_instrument instrument = ToInstrument(spec);
    tesmo_result result = tesmo_plug(&instrument, &device, &status);
    if (result != TESMO_OK) {
        Report(result, status, "plug", stderr);
        return std::nullopt;
    }
    devices_.push_back({device, spec});
    return device;
}

bool SimSystem::PlugAll(const std::vector<InstrumentSpec>& instruments, std::vector<std::int32_t>& devices)
{
    for (const InstrumentSpec& instrument : instruments) {
        auto device = Plug(instrument);
        if (!device) return false;
        devices.push_back(*device);
    }
    return true;
}

bool SimSystem::RemovalFinishes(std::int32_t device)
{
    constexpr auto kPatience = std::chrono::seconds(2);
    constexpr auto kLook = std::chrono::milliseconds(10);
    auto until = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
        std::uint32_t state = 0;
        if (tesmo_device_state(device, &state) != TESMO_OK || (state & TESMO_DEVICE_REMOVED)) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(kLook);
    }
}

const SimSystem::Plugged* SimSystem::Find(std::int32_t id) const
{
    for (const auto& plugged : devices_) {
        if (plugged.id == id) return &plugged;
    }
    return nullptr;
}

std::string SimSystem::PortName(std::int32_t device) const
{
    char name[32] = "";
    std::uint32_t length = 0;
    if (tesmo_port_name(device, name, sizeof name, &length) != TESMO_OK) return {};
    return name;
}

bool SimSystem::IsDeviceCommand(const std::string& word)
{
    for (const char* command :
         {"unplug", "replug", "rebalance", "disable", "enable", "sleep", "wake", "log", "advance", "state"}) {
        if (word == command) return true;
    }
    return false;
}

DeviceCommandResult SimSystem::RunDeviceCommand(const std::string& line, std::FILE* out)
{
    DeviceCommandResult result;
    std::istringstream words(line);
    std::string command, extra;
    words >> command;
    long long argument = 0;
    bool hasArgument = static_cast<bool>(words >> argument);
    if (!hasArgument) words.clear();
    if (words >> extra) {
        std::fprintf(out, "%s: unexpected \"%s\"; help lists the commands\n", command.c_str(), extra.c_str());
        return result;
    }
    std::int32_t device = hasArgument ? static_cast<std::int32_t>(argument) : lastDevice();
    std::int32_t status = 0;
    if (command == "unplug") {
        result.ok = Report(tesmo_unplug(device), 0, "unplug device " + std::to_string(device), out);
    } else if (command == "replug") {
        const Plugged* plugged = Find(device);
        if (!plugged) {
            Report(TESMO_E_NO_SUCH_DEVICE, 0, "replug", out);
            return result;
        }
        InstrumentSpec instrument = plugged->instrument;
        std::string name = PortName(device);
        std::uint32_t state = 0;
        tesmo_device_state(device, &state);
        if (!(state & TESMO_DEVICE_UNPLUGGED)) tesmo_unplug(device);
        // The same instrument comes back as the same instance, which takes
        // its COM name back once the old device has gone; while a handle
        // keeps that one, the new device is told apart by its bus port.
        if (!RemovalFinishes(device)) {
            std::fprintf(out, "replug: %s is still open, so the new device gets another COM name\n", name.c_str());
            instrument.serialNumber.clear();
        }
        auto replugged = PlugAsGiven(instrument);
        if (!replugged) return result;
        std::fprintf(out, "replug: device %d is %s\n", *replugged, PortName(*replugged).c_str());
        std::fflush(out);
        result = {true, device, *replugged};
    } else if (command == "rebalance") {
        result.ok = Report(tesmo_rebalance(device, &status), status, "rebalance", out);
    } else if (command == "disable") {
        result.ok = Report(tesmo_disable(device, &status), status, "disable", out);
    } else if (command == "enable") {
        result.ok = Report(tesmo_enable(device, &status), status, "enable", out);
    } else if (command == "sleep") {
        std::int32_t state = hasArgument ? static_cast<std::int32_t>(argument) : 3;
        result.ok = Report(tesmo_system_sleep(state, &status), status, "sleep S" + std::to_string(state), out);
    } else if (command == "wake") {
        result.ok = Report(tesmo_system_wake(&status), status, "wake", out);
    } else if (command == "advance") {
        if (!hasArgument || argument < 0) {
            std::fprintf(out, "advance: takes the milliseconds to move the clock on\n");
            return result;
        }
        result.ok = Report(tesmo_clock_advance(argument * kTicksPerMillisecond), 0, "advance", out);
    } else if (command == "state") {
        std::uint32_t state = 0;
        if (!Report(tesmo_device_state(device, &state), 0, "state", out)) return result;
        std::fprintf(out, "device %d:%s%s%s\n", device, state & TESMO_DEVICE_STARTED ? " started" : "",
                     state & TESMO_DEVICE_UNPLUGGED ? " unplugged" : "",
                     state & TESMO_DEVICE_REMOVED ? " removed" : "");
        result.ok = true;
    } else if (command == "log") {
        std::string text = EventLogText(device);
        if (text.empty()) {
            Report(TESMO_E_DEVICE_GONE, 0, "log", out);
            return result;
        }
        std::fputs(text.c_str(), out);
        result.ok = true;
    } else {
        std::fprintf(out, "unknown command: %s; help lists them\n", command.c_str());
    }
    std::fflush(out);
    return result;
}

std::string SimSystem::EventLogText(std::int32_t device) const
{
    std::uint32_t size = 0;
    std::int32_t logIndex = 0;
    tesmo_result sized = tesmo_event_log(device, nullptr, 0, &size, &logIndex);
    if (sized != TESMO_OK && sized != TESMO_E_BUFFER_TOO_SMALL) return {};
    std::vector<std::uint8_t> storage(size);
    if (tesmo_event_log(device, storage.data(), size, &size, &logIndex) != TESMO_OK) return {};
    return logdump::FormatLog(storage, logIndex);
}

std::uint32_t SimSystem::Shutdown(std::FILE* out)
{
    if (!booted_) return 0;
    booted_ = false;
    std::uint32_t violations = 0;
    tesmo_shutdown(&violations);
    for (std::uint32_t i = 0; i < violations; ++i) {
        std::uint32_t length = 0;
        tesmo_violation_text(i, nullptr, 0, &length);
        std::string text(length + 1, '\0');
        tesmo_violation_text(i, text.data(), length + 1, &length);
        std::fprintf(out, "%s\n", text.c_str());
    }
    std::fprintf(out, "== done: %u verifier violation(s)\n", violations);
    std::fflush(out);
    return violations;
}

}  // namespace tesmo::sim
