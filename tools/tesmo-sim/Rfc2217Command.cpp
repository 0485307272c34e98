// tesmo-sim rfc2217: the port served to Telnet COM-port-control clients.
// Boots the system, plugs the instrument (default: the command instrument)
// and serves its port on 127.0.0.1:P (0, the default, takes any free port
// and prints it), taking device commands on standard input until "quit" or
// Ctrl-C. A replugged instrument's port is served to the next client.
#include <cstdio>
#include <string>

#include "Commands.h"
#include "link/Console.h"
#include "link/Rfc2217Server.h"
#include "link/SimSystem.h"

namespace tesmo::sim {

namespace {

const std::string kDetails =
    std::string(kInstrumentHelp) +
    "\n\nOne client at a time: another one is told the port is in use and disconnected. DTR, RTS\n"
    "and BREAK are acknowledged without effect (the driver has no modem lines); CTS, DSR and CD\n"
    "read on, RI off.\n\nDevice commands on standard input:\n" +
    DeviceCommandHelp("") + "\n" + std::string(kExitCodesOfABridge);

const cli::Usage kUsage{
    "rfc2217",
    "[INSTRUMENT]",
    "serves the port to Telnet COM-port-control clients (rfc2217://127.0.0.1:P)",
    {
        {"--pcap", "FILE", "writes every URB the bus sees to FILE (USBPcap: wireshark FILE, tshark -r FILE)"},
        {"--timeline", "FILE", "writes what the system does to FILE as trace events (Perfetto, chrome://tracing)"},
        {"--port", "P", "the TCP port on 127.0.0.1, 0 to 65535 (default 0: any free one, printed)"},
        {"--pace", "", "carries the bytes no faster than the line set would (9600 8N1: 960 bytes/s), both ways"},
        {"-x", "", "prints every transfer to (>) and from (<) the port, time-stamped, in hex and text"},
        {"--no-console", "", "reads no commands from standard input (for running as a daemon); a signal ends it"},
    },
    kDetails,
};

int Run(const cli::Arguments& arguments)
{
    long long port = 0;
    if (auto text = arguments.Value("--port")) {
        auto number = cli::Number(*text, 0, 65535);
        if (!number) return cli::Mistake(kUsage, "--port " + *text + ": not a port number from 0 to 65535");
        port = *number;
    }
    if (arguments.operands().size() > 1) return cli::Mistake(kUsage, "serves one instrument");
    std::vector<InstrumentSpec> instruments;
    std::vector<std::string> kinds = arguments.operands();
    if (kinds.empty()) kinds.emplace_back("command");
    if (auto why = ParseInstruments(kinds, instruments)) return cli::Mistake(kUsage, *why);

    BlockStopSignals();
    SimSystem system(SimSystem::Clock::RealTime);
    if (!system.booted()) return 1;
    if (auto pcap = arguments.Value("--pcap"); pcap && !system.Capture(*pcap)) return 1;
    if (auto timeline = arguments.Value("--timeline"); timeline && !system.Timeline(*timeline)) return 1;
    std::vector<std::int32_t> devices;
    bool ok = system.PlugAll(instruments, devices);
    if (ok) {
        Rfc2217Server server(
            static_cast<std::uint16_t>(port), [&system] { return system.lastDevice(); }, stdout,
            Rfc2217Server::Options{arguments.Flag("-x"), arguments.Flag("--pace")});
        ok = server.ok();
        if (ok) {
            bool console = !arguments.Flag("--no-console");
            std::printf("%s (device %d) is served on rfc2217://127.0.0.1:%u\n", system.PortName(devices[0]).c_str(),
                        devices[0], server.port());
            std::printf("ready: %s\n",
                        console ? "type help for the device commands; quit or Ctrl-C ends" : "SIGINT or SIGTERM ends");
            std::fflush(stdout);
            RunConsole(
                [&](const std::string& line) {
                    if (line.empty()) return;
                    if (line == "help") std::printf("%s", DeviceCommandHelp("").c_str());
                    else system.RunDeviceCommand(line, stdout);
                    std::fflush(stdout);
                },
                console);
        }
    }
    return system.Shutdown(stdout) == 0 && ok ? 0 : 1;
}

}  // namespace

const Command& Rfc2217Command()
{
    static const Command command{"rfc2217", kUsage, Run};
    return command;
}

}  // namespace tesmo::sim
