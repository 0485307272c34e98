// tesmo-sim pty: the emulated COM ports as Linux pseudo-terminals.
#pragma once

namespace tesmo::sim {

int PtyCommand(int argc, char** argv);

}  // namespace tesmo::sim
