// tesmo-logdump: prints a saved copy of a device's event log, oldest entry
// first, with each entry's values named and its device state word decoded.
//   tesmo-logdump [--json | --raw] FILE                   a copy saved by tesmo-sim (demo --save-log)
//   tesmo-logdump [--json | --raw] --image FILE INDEX     a raw memory image of the storage and its LogIndex
// --json writes every entry for programs; --raw the tags' characters as
// stored and the values in hex. The older spelling of a raw image,
// --raw FILE INDEX, is still taken.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "EventLogDecoder.h"
#include "LogFile.h"

namespace {

int Usage(std::FILE* out, int code)
{
    std::fprintf(out,
                 "usage: tesmo-logdump [--json | --raw] FILE\n"
                 "       tesmo-logdump [--json | --raw] --image FILE LOG_INDEX\n"
                 "  FILE        an event log saved by tesmo-sim demo --save-log\n"
                 "  --image     FILE is a raw memory image of the log's storage, LOG_INDEX its LogIndex\n"
                 "  --json      every entry as JSON, for programs\n"
                 "  --raw       every entry undecoded: the tag's characters as stored, the values in hex\n"
                 "exit codes: 0 decoded; 1 the file holds no event log; 2 a usage error.\n");
    return code;
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace tesmo::logdump;
    LogFormat format = LogFormat::Text;
    bool image = false;
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return Usage(stdout, 0);
        if (arg == "--json") format = LogFormat::Json;
        else if (arg == "--raw") format = format == LogFormat::Json ? format : LogFormat::Raw;
        else if (arg == "--image") image = true;
        else if (arg.starts_with("-") && arg.size() > 1) return Usage(stderr, 2);
        else operands.push_back(arg);
    }
    // tesmo-logdump --raw FILE INDEX: the older spelling of --image.
    if (!image && format == LogFormat::Raw && operands.size() == 2) {
        image = true;
        format = LogFormat::Text;
    }
    if (operands.size() != (image ? 2u : 1u)) return Usage(stderr, 2);
    char* end = nullptr;
    std::int32_t index = image ? static_cast<std::int32_t>(std::strtol(operands[1].c_str(), &end, 0)) : 0;
    if (image && *end != '\0') return Usage(stderr, 2);
    std::optional<LogCopy> copy = image ? LoadRawImage(operands[0], index) : LoadLog(operands[0]);
    if (!copy) {
        std::fprintf(stderr, "tesmo-logdump: cannot read an event log from %s\n", operands[0].c_str());
        return 1;
    }
    std::fputs(FormatLog(copy->storage, copy->logIndex, format).c_str(), stdout);
    return 0;
}
