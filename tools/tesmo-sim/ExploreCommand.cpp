// tesmo-sim explore: random programs against the driver, judged by oracles.
#include <string>

#include "Commands.h"
#include "explore/Explore.h"

namespace tesmo::sim {

namespace {

const cli::Usage kUsage{
    "explore",
    "",
    "random programs of PnP, power and I/O against the driver, judged by oracles and the verifier",
    {
        {"--seed", "S", "the first scenario's seed (scenario i runs S + i; default 1)"},
        {"--runs", "N", "runs N scenarios"},
        {"--time", "SECONDS", "runs scenarios for this long"},
        {"--devices", "N", "at most N instruments, 1 to 8 (default 2)"},
        {"--depth", "D", "the controlled schedule's depth, 1 to 20 (default 3)"},
        {"--free", "", "free-running threads instead of a controlled schedule"},
        {"--replay", "S", "runs the one scenario of seed S, verbosely"},
        {"--seeds", "FILE", "runs the seeds listed in FILE"},
        {"--without", "STEP", "leaves a kind of step out of the programs (repeatable)"},
        {"--check-replay", "", "runs each scenario twice and compares the runs"},
        {"--pcap", "DIR", "writes each scenario's USB capture to DIR/seed-N.pcap (Wireshark reads them)"},
    },
    "A failure is printed with its seed, the driver's last trace lines, the shrunk program and the\n"
    "USB capture of the shrunk program's run.\n"
    "exit codes: 0 nothing failed; 1 a scenario failed; 2 a usage error.",
};

int Run(const cli::Arguments& arguments)
{
    if (!arguments.operands().empty()) return cli::Mistake(kUsage, "takes no operand");
    explore::ExploreOptions options;
    options.controlled = !arguments.Flag("--free");
    options.checkReplay = arguments.Flag("--check-replay");
    options.without = arguments.Values("--without");
    options.seedsFile = arguments.Value("--seeds").value_or("");
    options.pcapDir = arguments.Value("--pcap").value_or("");
    constexpr long long kMax = 0x7FFF'FFFF'FFFF'FFFF;
    struct Whole {
        const char* name;
        long long min, max;
        std::optional<long long> value;
    } wholes[] = {{"--seed", 0, kMax, {}},
                  {"--runs", 0, kMax, {}},
                  {"--devices", 1, 8, {}},
                  {"--depth", 1, 20, {}},
                  {"--replay", 0, kMax, {}}};
    for (auto& whole : wholes) {
        auto text = arguments.Value(whole.name);
        if (!text) continue;
        whole.value = cli::Number(*text, whole.min, whole.max);
        if (!whole.value) {
            return cli::Mistake(kUsage, std::string(whole.name) + " " + *text + ": not a whole number from " +
                                            std::to_string(whole.min) + " to " + std::to_string(whole.max));
        }
    }
    if (wholes[0].value) options.seed = static_cast<std::uint64_t>(*wholes[0].value);
    if (wholes[1].value) options.runs = static_cast<std::uint64_t>(*wholes[1].value);
    if (wholes[2].value) options.devices = static_cast<int>(*wholes[2].value);
    if (wholes[3].value) options.depth = static_cast<unsigned>(*wholes[3].value);
    if (wholes[4].value) options.replay = static_cast<std::uint64_t>(*wholes[4].value);
    if (auto time = arguments.Value("--time")) {
        options.seconds = cli::Decimal(*time, 0, 1e9);
        if (!options.seconds) return cli::Mistake(kUsage, "--time " + *time + ": not a number of seconds");
    }
    return explore::Explore(options);
}

}  // namespace

const Command& ExploreCommand()
{
    static const Command command{"explore", kUsage, Run};
    return command;
}

}  // namespace tesmo::sim
