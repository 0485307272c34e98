#include "Commands.h"

#include <array>

namespace tesmo::sim {

std::span<const Command> Commands()
{
    static const std::array<Command, 7> kCommands = {DemoCommand(), PtyCommand(),     Rfc2217Command(), TermCommand(),
                                                     RunCommand(),  LogdumpCommand(), ExploreCommand()};
    return kCommands;
}

}  // namespace tesmo::sim
