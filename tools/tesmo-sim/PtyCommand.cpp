// tesmo-sim pty [--link PATH]... [INSTRUMENT...]
// Boots the system, plugs each instrument (default: one command instrument),
// bridges each port to a pseudo-terminal and takes device commands on
// standard input until "quit" or Ctrl-C. The n-th --link names the n-th
// port's pty; a replugged instrument's new port gets the old one's link.
#include "PtyCommand.h"

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "link/Console.h"
#include "link/PtyBridge.h"
#include "link/SimSystem.h"

namespace tesmo::sim {

namespace {

int PtyUsage()
{
    std::fprintf(stderr, "usage: tesmo-sim pty [--link PATH]... [command|loopback|stream[:512][:frames]]...\n");
    return 2;
}

class PtyPorts {
public:
    explicit PtyPorts(SimSystem& system) : system_(system) {}

    bool Bridge(std::int32_t device, const std::string& link)
    {
        std::string port = system_.PortName(device);
        auto bridge = std::make_unique<PtyBridge>(device, port, link, stdout);
        if (!bridge->ok()) return false;
        std::printf("%s (device %d) is %s%s%s\n", port.c_str(), device, bridge->ptyPath().c_str(),
                    bridge->linkPath().empty() ? "" : ", linked from ", bridge->linkPath().c_str());
        std::fflush(stdout);
        links_[device] = link;
        bridges_[device] = std::move(bridge);
        return true;
    }

    void Command(const std::string& line)
    {
        std::istringstream words(line);
        std::string word;
        words >> word;
        if (word.empty()) return;
        if (!SimSystem::IsDeviceCommand(word)) {
            std::printf("commands: unplug|replug|rebalance|disable|enable|state|log [DEVICE], sleep [1-5], wake, "
                        "advance MS, quit\n");
            std::fflush(stdout);
            return;
        }
        std::int32_t before = system_.lastDevice();
        std::int32_t target = before;
        words >> target;
        system_.RunDeviceCommand(line, stdout);
        if (word == "replug" && system_.lastDevice() != before) {
            bridges_.erase(target);
            Bridge(system_.lastDevice(), links_[target]);
        }
    }

    void Clear() { bridges_.clear(); }

private:
    SimSystem& system_;
    std::map<std::int32_t, std::unique_ptr<PtyBridge>> bridges_;
    std::map<std::int32_t, std::string> links_;
};

}  // namespace

int PtyCommand(int argc, char** argv)
{
    std::vector<std::string> links, kinds;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--link" && i + 1 < argc) links.push_back(argv[++i]);
        else if (arg.starts_with("-")) return PtyUsage();
        else kinds.push_back(arg);
    }
    if (kinds.empty()) kinds.push_back("command");
    std::vector<tesmo_instrument> instruments;
    for (const auto& kind : kinds) {
        auto instrument = ParseInstrument(kind);
        if (!instrument) return PtyUsage();
        instruments.push_back(*instrument);
    }

    BlockStopSignals();
    SimSystem system(SimSystem::Clock::RealTime);
    if (!system.booted()) return 1;
    PtyPorts ports(system);
    bool ok = true;
    for (std::size_t i = 0; i < instruments.size() && ok; ++i) {
        auto device = system.Plug(instruments[i]);
        ok = device && ports.Bridge(*device, i < links.size() ? links[i] : std::string());
    }
    if (ok) {
        std::printf("ready: type help for the device commands; quit or Ctrl-C ends\n");
        std::fflush(stdout);
        RunConsole([&](const std::string& line) { ports.Command(line); });
    }
    ports.Clear();
    return system.Shutdown(stdout) == 0 && ok ? 0 : 1;
}

}  // namespace tesmo::sim
