// tesmo-logdump: prints a saved copy of a device's event log, oldest entry
// first, with each entry's values named and its device state word decoded.
//   tesmo-logdump FILE               a copy saved by tesmo-sim (demo --save-log)
//   tesmo-logdump --raw FILE INDEX   a raw memory image of the storage and its LogIndex
#include <cstdio>
#include <cstdlib>
#include <string>

#include "EventLogDecoder.h"
#include "LogFile.h"

int main(int argc, char** argv)
{
    using namespace tesmo::logdump;
    std::optional<LogCopy> copy;
    if (argc == 2) {
        copy = LoadLog(argv[1]);
    } else if (argc == 4 && std::string(argv[1]) == "--raw") {
        copy = LoadRawImage(argv[2], static_cast<std::int32_t>(std::strtol(argv[3], nullptr, 0)));
    } else {
        std::fprintf(stderr, "usage: tesmo-logdump FILE | tesmo-logdump --raw FILE LOG_INDEX\n");
        return 2;
    }
    if (!copy) {
        std::fprintf(stderr, "tesmo-logdump: cannot read an event log from %s\n", argv[argc == 2 ? 1 : 2]);
        return 1;
    }
    std::fputs(FormatLog(copy->storage, copy->logIndex).c_str(), stdout);
    return 0;
}
