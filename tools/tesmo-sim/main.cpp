// tesmo-sim: runs the driver in the emulated system, through the control
// library only (tesmo/control.h and tesmo/windows.h), and shows what
// happens. Each command is one row of the table in Commands.cpp; `tesmo-sim
// COMMAND --help` prints what its options do. Without a command: the demo.
#include <cstdio>
#include <string_view>

#include "Commands.h"

namespace {

int Usage(std::FILE* out, int exitCode)
{
    std::fprintf(out, "usage:\n");
    for (const auto& command : tesmo::sim::Commands()) {
        std::fprintf(out, "  %-44s %.*s\n", tesmo::sim::cli::Synopsis(command.usage).c_str(),
                     static_cast<int>(command.usage.summary.size()), command.usage.summary.data());
    }
    std::fprintf(out, "tesmo-sim COMMAND --help says what a command's options do and its exit codes.\n");
    return exitCode;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string_view name = argc > 1 ? argv[1] : "demo";
    if (name == "--help" || name == "-h" || name == "help") return Usage(stdout, 0);
    for (const auto& command : tesmo::sim::Commands()) {
        if (command.name != name) continue;
        auto arguments = tesmo::sim::cli::Read(command.usage, argc, argv, 2);
        if (const int* exitCode = std::get_if<int>(&arguments)) return *exitCode;
        return command.run(std::get<tesmo::sim::cli::Arguments>(arguments));
    }
    std::fprintf(stderr, "tesmo-sim: unknown command \"%.*s\"\n", static_cast<int>(name.size()), name.data());
    return Usage(stderr, tesmo::sim::cli::kUsageError);
}
