#include "scenario/ScenarioRunner.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "link/ComPort.h"
#include "link/SimSystem.h"
#include "scenario/ScenarioFile.h"

namespace tesmo::sim {

namespace {

constexpr std::int64_t kTicksPerMillisecond = 10'000;

std::string Printable(const std::string& bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '\n') text += "\\n";
        else if (c == '\r') text += "\\r";
        else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

std::int64_t Now()
{
    std::int64_t now = 0;
    tesmo_clock_now(&now);
    return now;
}

class Runner {
public:
    // An empty string when the step did what it should, else why not.
    std::string Run(const ScenarioStep& step);
    SimSystem& system() { return system_; }
    void ClosePort() { port_.reset(); }

private:
    std::string Plug(const ScenarioStep& step);
    std::string Open(const ScenarioStep& step);
    std::string Expect(const ScenarioStep& step);
    std::string LogContains(const ScenarioStep& step);

    SimSystem system_{SimSystem::Clock::Automatic};
    std::unique_ptr<ComPort> port_;
    std::string received_;  // read but not yet matched by an expect
};

std::string Runner::Run(const ScenarioStep& step)
{
    const std::string& command = step.command;
    if (command == "plug") return Plug(step);
    if (command == "open") return Open(step);
    if (command == "close") {
        if (!port_) return "no port is open";
        port_.reset();
        received_.clear();
        return {};
    }
    if (command == "advance") {
        return tesmo_clock_advance(step.milliseconds * kTicksPerMillisecond) == TESMO_OK ? "" : "cannot move the clock";
    }
    if (command == "log-contains") return LogContains(step);
    if (SimSystem::IsDeviceCommand(command)) {
        std::string line = command + " " + step.word;
        std::FILE* quiet = std::tmpfile();
        bool ok = system_.RunDeviceCommand(line, quiet ? quiet : stdout);
        std::string said;
        if (quiet) {
            std::rewind(quiet);
            char text[256];
            while (std::fgets(text, sizeof text, quiet)) said += text;
            std::fclose(quiet);
        }
        if (!said.empty() && said.back() == '\n') said.pop_back();
        return ok ? std::string() : said;
    }
    if (!port_) return "no port is open";
    if (command == "settings") {
        auto wanted = ParseLineSettings(step.word);
        if (!wanted) return "settings take a form like 9600 8N1";
        auto now = port_->Apply(*wanted);
        if (!now) return "SetCommState failed with error " + std::to_string(port_->Error());
        return *now == *wanted ? "" : "GetCommState reports " + now->Text();
    }
    if (command == "write") {
        std::vector<std::uint8_t> bytes(step.text.begin(), step.text.end());
        return port_->Write(bytes) ? "" : "WriteFile failed with error " + std::to_string(port_->Error());
    }
    if (command == "expect") return Expect(step);
    return "cannot run " + command;
}

std::string Runner::Plug(const ScenarioStep& step)
{
    auto instrument = ParseInstrument(step.word.empty() ? "command" : step.word);
    if (!instrument) return "unknown instrument \"" + step.word + "\"";
    return system_.Plug(*instrument) ? "" : "the plug-in failed";
}

std::string Runner::Open(const ScenarioStep& step)
{
    if (port_) return "a port is open already";
    std::string name = step.word.empty() ? system_.PortName(system_.lastDevice()) : step.word;
    auto port = std::make_unique<ComPort>(name);
    if (!port->IsOpen()) return "CreateFile " + name + " failed with error " + std::to_string(port->Error());
    port_ = std::move(port);
    return {};
}

std::string Runner::Expect(const ScenarioStep& step)
{
    std::int64_t deadline = Now() + step.milliseconds * kTicksPerMillisecond;
    std::vector<std::uint8_t> chunk(64);  // at most a packet: a read ends with what one packet brings
    for (;;) {
        auto found = received_.find(step.text);
        if (found != std::string::npos) {
            received_.erase(0, found + step.text.size());
            return {};
        }
        std::int64_t left = deadline - Now();
        if (left <= 0) {
            return "\"" + Printable(step.text) + "\" did not come within " + std::to_string(step.milliseconds) +
                   " ms; read: \"" + Printable(received_) + "\"";
        }
        port_->SetReadLimit(static_cast<DWORD>((left + kTicksPerMillisecond - 1) / kTicksPerMillisecond));
        auto got = port_->Read(chunk);
        if (!got) {
            return "ReadFile failed with error " + std::to_string(port_->Error()) + " waiting for \"" +
                   Printable(step.text) + "\"; read: \"" + Printable(received_) + "\"";
        }
        received_.append(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(*got));
    }
}

std::string Runner::LogContains(const ScenarioStep& step)
{
    std::int32_t device = system_.lastDevice();
    std::uint32_t size = 0;
    std::int32_t logIndex = 0;
    tesmo_result sized = tesmo_event_log(device, nullptr, 0, &size, &logIndex);
    if (sized != TESMO_OK && sized != TESMO_E_BUFFER_TOO_SMALL) return "device has no event log";
    std::vector<tesmo_event_log_entry> entries(size / sizeof(tesmo_event_log_entry));
    if (tesmo_event_log(device, entries.data(), size, &size, &logIndex) != TESMO_OK) return "device has no event log";
    for (const auto& entry : entries) {
        if (std::string(entry.tag, sizeof entry.tag).starts_with(step.text)) return {};
    }
    return "no entry tagged \"" + step.text + "\" in the event log";
}

}  // namespace

int RunScenarioFile(const std::string& path)
{
    std::ifstream file(path);
    if (!file) {
        std::fprintf(stderr, "tesmo-sim: cannot read %s\n", path.c_str());
        return 2;
    }
    std::stringstream content;
    content << file.rdbuf();
    ParsedScenario scenario = ParseScenario(content.str());
    if (!scenario.error.empty()) {
        std::fprintf(stderr, "%s:%s\n", path.c_str(), scenario.error.c_str());
        return 2;
    }
    Runner runner;
    if (!runner.system().booted()) return 1;
    bool failed = false;
    bool mustFail = false;
    for (const auto& step : scenario.steps) {
        if (step.command == "expect-failure") {
            mustFail = true;
            continue;
        }
        std::string why = runner.Run(step);
        bool ok = mustFail ? !why.empty() : why.empty();
        std::printf("[%8.3f s] line %d: %s: %s%s%s\n", static_cast<double>(Now()) / 1e7, step.line,
                    step.source.c_str(), ok ? "ok" : "FAILED", why.empty() ? "" : ": ",
                    why.empty() ? (ok ? "" : "it worked but should have failed") : why.c_str());
        std::fflush(stdout);
        mustFail = false;
        if (!ok) {
            failed = true;
            break;
        }
    }
    runner.ClosePort();
    std::uint32_t violations = runner.system().Shutdown(stdout);
    std::printf("%s: %s\n", path.c_str(), failed ? "FAILED" : violations ? "FAILED (verifier)" : "passed");
    return failed || violations ? 1 : 0;
}

}  // namespace tesmo::sim
