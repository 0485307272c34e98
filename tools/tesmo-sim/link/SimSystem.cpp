#include "link/SimSystem.h"

#include <cstdio>
#include <sstream>

#include "EventLogDecoder.h"

namespace tesmo::sim {

namespace {

// `status` is taken by reference: callers pass the variable that the call in
// their first argument fills, and by value it could be read before that call.
bool Report(tesmo_result result, const std::int32_t& status, const std::string& what, std::FILE* out)
{
    if (result == TESMO_OK) {
        std::fprintf(out, "%s: done\n", what.c_str());
    } else if (result == TESMO_E_REFUSED) {
        std::fprintf(out, "%s: refused with status 0x%08x\n", what.c_str(), static_cast<unsigned>(status));
    } else {
        std::fprintf(out, "%s: %s\n", what.c_str(), tesmo_result_text(result));
    }
    std::fflush(out);
    return result == TESMO_OK;
}

}  // namespace

std::optional<tesmo_instrument> ParseInstrument(const std::string& text)
{
    std::istringstream parts(text);
    std::string kindName, option;
    std::getline(parts, kindName, ':');
    int kind = kindName == "command"    ? TESMO_INSTRUMENT_COMMAND
               : kindName == "loopback" ? TESMO_INSTRUMENT_LOOPBACK
               : kindName == "stream"   ? TESMO_INSTRUMENT_STREAM
                                        : 0;
    tesmo_instrument instrument;
    if (tesmo_instrument_init(&instrument, kind) != TESMO_OK) return std::nullopt;
    while (std::getline(parts, option, ':')) {
        if (option == "512") instrument.packet_size = 512;
        else if (option == "64") instrument.packet_size = 64;
        else if (option == "frames") instrument.frame_timing = 1;
        else if (option.starts_with("latency=") && kind == TESMO_INSTRUMENT_COMMAND) {
            try {
                instrument.latency = std::stoll(option.substr(8)) * 10'000;
            } catch (const std::exception&) {
                return std::nullopt;
            }
        } else return std::nullopt;
    }
    return instrument;
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

std::optional<std::int32_t> SimSystem::Plug(const tesmo_instrument& instrument)
{
    std::int32_t device = 0, status = 0;
    tesmo_result result = tesmo_plug(&instrument, &device, &status);
    if (result != TESMO_OK) {
        Report(result, status, "plug", stderr);
        return std::nullopt;
    }
    devices_.push_back({device, instrument});
    return device;
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

bool SimSystem::RunDeviceCommand(const std::string& line, std::FILE* out)
{
    std::istringstream words(line);
    std::string command;
    words >> command;
    long long argument = 0;
    bool hasArgument = static_cast<bool>(words >> argument);
    std::int32_t device = hasArgument ? static_cast<std::int32_t>(argument) : lastDevice();
    std::int32_t status = 0;
    if (command == "unplug") {
        bool ok = Report(tesmo_unplug(device), 0, "unplug device " + std::to_string(device), out);
        return ok;
    }
    if (command == "replug") {
        const Plugged* plugged = Find(device);
        if (!plugged) return Report(TESMO_E_NO_SUCH_DEVICE, 0, "replug", out);
        tesmo_instrument instrument = plugged->instrument;
        std::uint32_t state = 0;
        tesmo_device_state(device, &state);
        if (!(state & TESMO_DEVICE_UNPLUGGED)) tesmo_unplug(device);
        auto replugged = Plug(instrument);
        if (!replugged) return false;
        std::fprintf(out, "replug: device %d is %s\n", *replugged, PortName(*replugged).c_str());
        std::fflush(out);
        return true;
    }
    if (command == "rebalance") return Report(tesmo_rebalance(device, &status), status, "rebalance", out);
    if (command == "disable") return Report(tesmo_disable(device, &status), status, "disable", out);
    if (command == "enable") return Report(tesmo_enable(device, &status), status, "enable", out);
    if (command == "sleep") {
        std::int32_t state = hasArgument ? static_cast<std::int32_t>(argument) : 3;
        return Report(tesmo_system_sleep(state, &status), status, "sleep S" + std::to_string(state), out);
    }
    if (command == "wake") return Report(tesmo_system_wake(&status), status, "wake", out);
    if (command == "advance") {
        return hasArgument && Report(tesmo_clock_advance(argument * 10'000), 0, "advance", out);
    }
    if (command == "state") {
        std::uint32_t state = 0;
        if (!Report(tesmo_device_state(device, &state), 0, "state", out)) return false;
        std::fprintf(out, "device %d:%s%s%s\n", device, state & TESMO_DEVICE_STARTED ? " started" : "",
                     state & TESMO_DEVICE_UNPLUGGED ? " unplugged" : "",
                     state & TESMO_DEVICE_REMOVED ? " removed" : "");
        return true;
    }
    if (command == "log") {
        std::string text = EventLogText(device);
        if (text.empty()) return Report(TESMO_E_DEVICE_GONE, 0, "log", out);
        std::fputs(text.c_str(), out);
        std::fflush(out);
        return true;
    }
    std::fprintf(out, "unknown command: %s\n", command.c_str());
    return false;
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
