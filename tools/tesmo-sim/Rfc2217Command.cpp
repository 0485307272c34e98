// tesmo-sim rfc2217 [--port P] [INSTRUMENT]
// Boots the system, plugs the instrument (default: the command instrument)
// and serves its port on 127.0.0.1:P (0, the default, takes any free port
// and prints it), taking device commands on standard input until "quit" or
// Ctrl-C. A replugged instrument's port is served to the next client.
#include "Rfc2217Command.h"

#include <cstdio>
#include <string>

#include "link/Console.h"
#include "link/Rfc2217Server.h"
#include "link/SimSystem.h"

namespace tesmo::sim {

int Rfc2217Command(int argc, char** argv)
{
    long port = 0;
    std::string kind = "command";
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) port = std::strtol(argv[++i], nullptr, 10);
        else kind = arg;
    }
    auto instrument = ParseInstrument(kind);
    if (!instrument || port < 0 || port > 65535) {
        std::fprintf(stderr, "usage: tesmo-sim rfc2217 [--port P] [command|loopback|stream[:512][:frames]]\n");
        return 2;
    }
    BlockStopSignals();
    SimSystem system(SimSystem::Clock::RealTime);
    if (!system.booted()) return 1;
    auto device = system.Plug(*instrument);
    bool ok = device.has_value();
    if (ok) {
        Rfc2217Server server(static_cast<std::uint16_t>(port), [&system] { return system.lastDevice(); }, stdout);
        ok = server.ok();
        if (ok) {
            std::printf("%s (device %d) is served on rfc2217://127.0.0.1:%u\n", system.PortName(*device).c_str(),
                        *device, server.port());
            std::printf("ready: type help for the device commands; quit or Ctrl-C ends\n");
            std::fflush(stdout);
            RunConsole([&](const std::string& line) {
                if (line.empty()) return;
                if (!system.RunDeviceCommand(line, stdout) && line.rfind("help", 0) == 0) {
                    std::printf("commands: unplug|replug|rebalance|disable|enable|state|log [DEVICE], sleep [1-5], "
                                "wake, advance MS, quit\n");
                }
                std::fflush(stdout);
            });
        }
    }
    return system.Shutdown(stdout) == 0 && ok ? 0 : 1;
}

}  // namespace tesmo::sim
