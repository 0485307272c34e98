// tesmo-sim logdump FILE: decodes an event log saved with demo --save-log.
#include <cstdio>

#include "Commands.h"
#include "EventLogDecoder.h"
#include "LogFile.h"

namespace tesmo::sim {

namespace {

const cli::Usage kUsage{
    "logdump",
    "FILE",
    "decodes an event log saved with demo --save-log",
    {
        {"--json", "", "every entry as JSON, for programs"},
        {"--raw", "", "every entry undecoded: the tag's characters as stored, the values in hex"},
    },
    "exit codes: 0 decoded; 1 the file holds no event log; 2 a usage error.",
};

int Run(const cli::Arguments& arguments)
{
    if (arguments.operands().size() != 1) return cli::Mistake(kUsage, "takes one FILE");
    const std::string& path = arguments.operands()[0];
    auto copy = logdump::LoadLog(path);
    if (!copy) {
        std::fprintf(stderr, "tesmo-sim logdump: cannot read an event log from %s\n", path.c_str());
        return 1;
    }
    logdump::LogFormat format = arguments.Flag("--json")  ? logdump::LogFormat::Json
                                : arguments.Flag("--raw") ? logdump::LogFormat::Raw
                                                          : logdump::LogFormat::Text;
    std::fputs(logdump::FormatLog(copy->storage, copy->logIndex, format).c_str(), stdout);
    return 0;
}

}  // namespace

const Command& LogdumpCommand()
{
    static const Command command{"logdump", kUsage, Run};
    return command;
}

}  // namespace tesmo::sim
