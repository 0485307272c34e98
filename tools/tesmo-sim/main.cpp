// tesmo-sim: runs the driver in the emulated system, through the control
// library only (tesmo/control.h and tesmo/windows.h), and shows what happens.
//   tesmo-sim demo [-v | -vv] [--save-log FILE]
//       a whole session on COM3 with the driver's trace (levels up to 4;
//       -v up to 5 with hex dumps; -vv everything, the driver's filter raised
//       to 6) and the device's decoded event log
//   tesmo-sim pty [--link PATH]... [INSTRUMENT...]
//       the COM ports as Linux pseudo-terminals for serial clients
//   tesmo-sim rfc2217 [--port P] [INSTRUMENT]
//       a Telnet COM-port-control server for the port on 127.0.0.1
//   tesmo-sim term [--echo] [--eol cr|lf|crlf] [INSTRUMENT]
//       an interactive terminal on the port, with ~ commands for the device
//   tesmo-sim run FILE
//       runs a scenario file (see scenario/ScenarioFile.h); non-zero when a step fails
//   tesmo-sim logdump FILE
//       decodes an event log saved with --save-log
//   tesmo-sim explore [--seed S] [--runs N | --time T] [--devices N] [--depth D | --free] [--replay S]
//                     [--seeds FILE] [--without STEP]... [--check-replay]
//       random programs of PnP, power and I/O against the driver, judged by
//       oracles and the verifier; a failure is reported with its seed and a
//       shrunk program
#include <cstdio>
#include <string>

#include "Demo.h"
#include "explore/Explore.h"
#include "EventLogDecoder.h"
#include "LogFile.h"
#include "PtyCommand.h"
#include "Rfc2217Command.h"
#include "scenario/ScenarioRunner.h"
#include "TermCommand.h"

namespace {

int Usage()
{
    std::fprintf(stderr,
                 "usage: tesmo-sim demo [-v | -vv] [--save-log FILE]\n"
                 "       tesmo-sim pty [--link PATH]... [command|loopback|stream[:512][:frames]]...\n"
                 "       tesmo-sim rfc2217 [--port P] [INSTRUMENT]\n"
                 "       tesmo-sim term [--echo] [--eol cr|lf|crlf] [INSTRUMENT]\n"
                 "       tesmo-sim run SCENARIO-FILE\n"
                 "       tesmo-sim logdump FILE\n"
                 "       tesmo-sim explore [--seed S] [--runs N | --time SECONDS] [--devices N]\n"
                 "                         [--depth D | --free] [--replay S] [--seeds FILE] [--without STEP]...\n"
                 "                         [--check-replay]\n");
    return 2;
}

int ExploreCommand(int argc, char** argv)
{
    tesmo::explore::ExploreOptions options;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--free") {
            options.controlled = false;
            continue;
        }
        if (arg == "--check-replay") {
            options.checkReplay = true;
            continue;
        }
        if (i + 1 >= argc) return Usage();
        std::string value = argv[++i];
        try {
            if (arg == "--depth") options.depth = static_cast<unsigned>(std::stoul(value));
            else if (arg == "--seed") options.seed = std::stoull(value);
            else if (arg == "--runs") options.runs = std::stoull(value);
            else if (arg == "--time") options.seconds = std::stod(value);
            else if (arg == "--devices") options.devices = std::stoi(value);
            else if (arg == "--replay") options.replay = std::stoull(value);
            else if (arg == "--seeds") options.seedsFile = value;
            else if (arg == "--without") options.without.push_back(value);
            else return Usage();
        } catch (const std::exception&) {
            return Usage();
        }
    }
    if (options.devices < 1 || options.devices > 8 || options.depth < 1 || options.depth > 20) return Usage();
    return tesmo::explore::Explore(options);
}

int LogDump(const std::string& path)
{
    auto copy = tesmo::logdump::LoadLog(path);
    if (!copy) {
        std::fprintf(stderr, "tesmo-sim: cannot read an event log from %s\n", path.c_str());
        return 1;
    }
    std::fputs(tesmo::logdump::FormatLog(copy->storage, copy->logIndex).c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string command = argc > 1 ? argv[1] : "demo";
    if (command == "logdump") return argc == 3 ? LogDump(argv[2]) : Usage();
    if (command == "explore") return ExploreCommand(argc, argv);
    if (command == "pty") return tesmo::sim::PtyCommand(argc, argv);
    if (command == "rfc2217") return tesmo::sim::Rfc2217Command(argc, argv);
    if (command == "term") return tesmo::sim::TermCommand(argc, argv);
    if (command == "run") return argc == 3 ? tesmo::sim::RunScenarioFile(argv[2]) : Usage();
    if (command != "demo") return Usage();
    tesmo::sim::DemoOptions options;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-v") options.traceLevel = 5;
        else if (arg == "-vv") options.traceLevel = 6;
        else if (arg == "--save-log" && i + 1 < argc) options.saveLogPath = argv[++i];
        else return Usage();
    }
    return tesmo::sim::RunDemo(options);
}
