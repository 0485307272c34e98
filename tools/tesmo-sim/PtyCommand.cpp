// tesmo-sim pty: the emulated COM ports as Linux pseudo-terminals. Boots
// the system, plugs each instrument (default: one command instrument),
// bridges each port to a pseudo-terminal and takes device commands on
// standard input until "quit" or Ctrl-C. The n-th --link names the n-th
// port's pty; a replugged instrument's new port gets the old one's link.
#include <cstdio>
#include <grp.h>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "Commands.h"
#include "link/Console.h"
#include "link/PtyBridge.h"
#include "link/SimSystem.h"

namespace tesmo::sim {

namespace {

const std::string kDetails = std::string(kInstrumentHelp) + "\n\nDevice commands on standard input:\n" +
                             DeviceCommandHelp("") + "\n" + std::string(kExitCodesOfABridge);

const cli::Usage kUsage{
    "pty",
    "[INSTRUMENT]...",
    "the COM ports as pseudo-terminals for serial clients (default instrument: command)",
    {
        {"--pcap", "FILE", "writes every URB the bus sees to FILE (USBPcap: wireshark FILE, tshark -r FILE)"},
        {"--timeline", "FILE", "writes what the system does to FILE as trace events (Perfetto, chrome://tracing)"},
        {"--link", "PATH", "a symbolic link to the n-th port's pty (repeatable; its folder must exist)"},
        {"--mode", "OCTAL", "the ptys' mode, e.g. 0660 or 0666 (default: as made, the owner only)"},
        {"--group", "NAME", "the ptys' (and links') group, e.g. dialout, so its members may open them"},
        {"--pace", "", "carries the bytes no faster than the line set would (9600 8N1: 960 bytes/s), both ways"},
        {"-x", "", "prints every transfer to (>) and from (<) the ports, time-stamped, in hex and text"},
        {"--no-console", "", "reads no commands from standard input (for running as a daemon); a signal ends it"},
    },
    kDetails,
};

class PtyPorts {
public:
    PtyPorts(SimSystem& system, PtyOptions options) : system_(system), options_(std::move(options)) {}

    bool Bridge(std::int32_t device, const std::string& link)
    {
        std::string port = system_.PortName(device);
        PtyOptions options = options_;
        options.linkPath = link;
        auto bridge = std::make_unique<PtyBridge>(device, port, options, stdout);
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
        if (word == "help") {
            std::printf("%s", DeviceCommandHelp("").c_str());
            std::fflush(stdout);
            return;
        }
        DeviceCommandResult result = system_.RunDeviceCommand(line, stdout);
        if (result.replacement != 0) {
            bridges_.erase(result.replaced);
            Bridge(result.replacement, links_[result.replaced]);
        }
    }

    void Clear() { bridges_.clear(); }

private:
    SimSystem& system_;
    PtyOptions options_;
    std::map<std::int32_t, std::unique_ptr<PtyBridge>> bridges_;
    std::map<std::int32_t, std::string> links_;
};

// The access the options ask for, or why it cannot be had.
std::optional<std::string> ReadAccess(const cli::Arguments& arguments, PtyAccess& access)
{
    if (auto mode = arguments.Value("--mode")) {
        char* end = nullptr;
        unsigned long value = std::strtoul(mode->c_str(), &end, 8);
        if (mode->empty() || *end != '\0' || value > 07777) return "--mode " + *mode + ": not an octal mode like 0660";
        access.mode = static_cast<mode_t>(value);
    }
    if (auto group = arguments.Value("--group")) {
        if (const ::group* entry = ::getgrnam(group->c_str())) {
            access.group = entry->gr_gid;
        } else if (auto number = cli::Number(*group, 0, 0x7FFFFFFF)) {
            access.group = static_cast<gid_t>(*number);
        } else {
            return "--group " + *group + ": no such group";
        }
    }
    return std::nullopt;
}

// A link's folder must exist: the link is made after the system booted.
std::optional<std::string> CheckLinks(const std::vector<std::string>& links)
{
    for (const std::string& link : links) {
        std::string folder = link.find('/') == std::string::npos ? "." : link.substr(0, link.rfind('/') + 1);
        struct stat info {};
        if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            return "--link " + link + ": the folder " + folder + " does not exist";
        }
    }
    return std::nullopt;
}

int Run(const cli::Arguments& arguments)
{
    std::vector<std::string> links = arguments.Values("--link");
    std::vector<std::string> kinds = arguments.operands();
    if (kinds.empty()) kinds.emplace_back("command");
    std::vector<InstrumentSpec> instruments;
    PtyAccess access;
    if (auto why = ParseInstruments(kinds, instruments)) return cli::Mistake(kUsage, *why);
    if (auto why = ReadAccess(arguments, access)) return cli::Mistake(kUsage, *why);
    if (auto why = CheckLinks(links)) return cli::Mistake(kUsage, *why);
    if (links.size() > instruments.size()) return cli::Mistake(kUsage, "more --link than instruments");

    BlockStopSignals();
    SimSystem system(SimSystem::Clock::RealTime);
    if (!system.booted()) return 1;
    if (auto pcap = arguments.Value("--pcap"); pcap && !system.Capture(*pcap)) return 1;
    if (auto timeline = arguments.Value("--timeline"); timeline && !system.Timeline(*timeline)) return 1;
    PtyPorts ports(system, PtyOptions{{}, access, arguments.Flag("-x"), arguments.Flag("--pace")});
    std::vector<std::int32_t> devices;
    bool ok = system.PlugAll(instruments, devices);
    for (std::size_t i = 0; i < devices.size() && ok; ++i) {
        ok = ports.Bridge(devices[i], i < links.size() ? links[i] : std::string());
    }
    if (ok) {
        bool console = !arguments.Flag("--no-console");
        std::printf("ready: %s\n",
                    console ? "type help for the device commands; quit or Ctrl-C ends" : "SIGINT or SIGTERM ends");
        std::fflush(stdout);
        RunConsole([&](const std::string& line) { ports.Command(line); }, console);
    }
    ports.Clear();
    return system.Shutdown(stdout) == 0 && ok ? 0 : 1;
}

}  // namespace

const Command& PtyCommand()
{
    static const Command command{"pty", kUsage, Run};
    return command;
}

}  // namespace tesmo::sim
