// tesmo-sim term: an interactive terminal on the emulated COM port.
#pragma once

namespace tesmo::sim {

int TermCommand(int argc, char** argv);

}  // namespace tesmo::sim
