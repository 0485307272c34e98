#include "scenario/ScenarioRunner.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "link/ComPort.h"
#include "link/SimSystem.h"
#include "scenario/ScenarioFile.h"
#include "ErrorText.h"
#include "text/Printable.h"

namespace tesmo::sim {

namespace {

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
    // What the last step that worked has to say ("COM3 (device 1)"), once.
    std::string TakeNote() { return std::exchange(note_, {}); }
    void ClosePort() { port_.reset(); }

private:
    std::string Plug(const ScenarioStep& step);
    std::string Open(const ScenarioStep& step);
    std::string Expect(const ScenarioStep& step);
    std::string LogContains(const ScenarioStep& step);

    SimSystem system_{SimSystem::Clock::Automatic};
    std::unique_ptr<ComPort> port_;
    std::string received_;  // read but not yet matched by an expect
    std::string note_;
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
        bool ok = system_.RunDeviceCommand(line, quiet ? quiet : stdout).ok;
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
        if (!now) return "SetCommState failed: " + Win32ErrorText(port_->Error());
        return *now == *wanted ? "" : "GetCommState reports " + now->Text();
    }
    if (command == "write") {
        std::vector<std::uint8_t> bytes(step.text.begin(), step.text.end());
        return port_->Write(bytes) ? "" : "WriteFile failed: " + Win32ErrorText(port_->Error());
    }
    if (command == "expect") return Expect(step);
    return "cannot run " + command;
}

std::string Runner::Plug(const ScenarioStep& step)
{
    auto spec = ParseInstrumentSpec(step.word.empty() ? "command" : step.word);
    if (auto* why = std::get_if<std::string>(&spec)) return *why;  // the parser checked it already
    auto device = system_.Plug(std::get<InstrumentSpec>(spec));
    if (!device) return "the plug-in failed";
    note_ = system_.PortName(*device) + " (device " + std::to_string(*device) + ")";
    return {};
}

std::string Runner::Open(const ScenarioStep& step)
{
    if (port_) return "a port is open already";
    std::string name = step.word.empty() ? system_.PortName(system_.lastDevice()) : step.word;
    auto port = std::make_unique<ComPort>(name);
    if (!port->IsOpen()) return "CreateFile " + name + " failed: " + Win32ErrorText(port->Error());
    port_ = std::move(port);
    note_ = name + " is open";
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
            return "ReadFile failed (" + Win32ErrorText(port_->Error()) + ") waiting for \"" + Printable(step.text) +
                   "\"; read: \"" + Printable(received_) + "\"";
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

int RunScenarioFile(const std::string& path, const std::string& pcapPath, const std::string& timelinePath)
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
    if (!pcapPath.empty() && !runner.system().Capture(pcapPath)) return 1;
    if (!timelinePath.empty() && !runner.system().Timeline(timelinePath)) return 1;
    bool failed = false;
    bool mustFail = false;
    for (const auto& step : scenario.steps) {
        if (step.command == "expect-failure") {
            mustFail = true;
            continue;
        }
        std::string why = runner.Run(step);
        std::string note = runner.TakeNote();
        bool ok = mustFail ? !why.empty() : why.empty();
        if (ok && why.empty() && !note.empty()) why = note;
        std::printf("[%8.3f s] line %d: %s: %s%s%s\n", static_cast<double>(Now()) / 1e7, step.line, step.source.c_str(),
                    ok ? "ok" : "FAILED", why.empty() ? "" : ": ",
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
