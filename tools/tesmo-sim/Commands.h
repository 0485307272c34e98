// The table of tesmo-sim's commands: each is a name, a usage (which also
// reads its arguments, cli/Arguments.h) and a function that runs it; one
// file per command.
#pragma once

#include <span>
#include <string_view>

#include "cli/Arguments.h"

namespace tesmo::sim {

struct Command {
    std::string_view name;
    const cli::Usage& usage;
    int (*run)(const cli::Arguments& arguments);
};

// Every command, in the order the usage lists them.
std::span<const Command> Commands();

const Command& DemoCommand();
const Command& PtyCommand();
const Command& Rfc2217Command();
const Command& TermCommand();
const Command& RunCommand();
const Command& LogdumpCommand();
const Command& ExploreCommand();

// The options every bridge (pty, rfc2217, term) takes for its instruments.
inline constexpr std::string_view kExitCodesOfABridge =
    "exit codes: 0 the session ended and the verifier found nothing; 1 a plug-in or the port failed,\n"
    "or the verifier found something; 2 a usage error.";

}  // namespace tesmo::sim
