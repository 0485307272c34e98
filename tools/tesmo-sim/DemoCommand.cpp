// tesmo-sim demo: a whole session on COM3 with the driver's trace.
#include "Commands.h"
#include "Demo.h"

namespace tesmo::sim {

namespace {

const cli::Usage kUsage{
    "demo",
    "",
    "a whole session on COM3: plug, configure, command and answer, the event log, unplug",
    {
        {"-v", "", "the driver's trace up to level 5, with hex dumps"},
        {"-vv", "", "every trace line: the driver's filter raised to 6"},
        {"--save-log", "FILE", "saves the device's event log (tesmo-sim logdump FILE reads it)"},
        {"--pcap", "FILE", "writes every URB the bus sees to FILE (USBPcap: wireshark FILE, tshark -r FILE)"},
        {"--timeline", "FILE", "writes what the system does to FILE as trace events (Perfetto, chrome://tracing)"},
    },
    "exit codes: 0 everything worked and the verifier found nothing; 1 otherwise; 2 a usage error.",
};

int Run(const cli::Arguments& arguments)
{
    if (!arguments.operands().empty()) return cli::Mistake(kUsage, "takes no operand");
    DemoOptions options;
    if (arguments.Flag("-v")) options.traceLevel = 5;
    if (arguments.Flag("-vv")) options.traceLevel = 6;
    options.saveLogPath = arguments.Value("--save-log").value_or("");
    options.pcapPath = arguments.Value("--pcap").value_or("");
    options.timelinePath = arguments.Value("--timeline").value_or("");
    return RunDemo(options);
}

}  // namespace

const Command& DemoCommand()
{
    static const Command command{"demo", kUsage, Run};
    return command;
}

}  // namespace tesmo::sim
