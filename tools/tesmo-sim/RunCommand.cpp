// tesmo-sim run FILE: a scenario file, step by step.
#include "Commands.h"
#include "scenario/ScenarioRunner.h"

namespace tesmo::sim {

namespace {

const cli::Usage kUsage{
    "run",
    "FILE",
    "runs a scenario file step by step (the clock runs on by itself whenever everything waits)",
    {
        {"--pcap", "FILE", "writes every URB the bus sees to FILE (USBPcap: wireshark FILE, tshark -r FILE)"},
        {"--timeline", "FILE", "writes what the system does to FILE as trace events (Perfetto, chrome://tracing)"},
    },
    "Each step is printed with its emulated time and whether it did what it should.\n"
    "exit codes: 0 every step did and the verifier found nothing; 1 a step failed (the first is\n"
    "named) or the verifier found something; 2 a usage error, or a file that cannot be read or parsed\n"
    "(the first bad line is named).",
};

int Run(const cli::Arguments& arguments)
{
    if (arguments.operands().size() != 1) return cli::Mistake(kUsage, "takes one scenario FILE");
    return RunScenarioFile(arguments.operands()[0], arguments.Value("--pcap").value_or(""),
                           arguments.Value("--timeline").value_or(""));
}

}  // namespace

const Command& RunCommand()
{
    static const Command command{"run", kUsage, Run};
    return command;
}

}  // namespace tesmo::sim
