// tesmo-sim rfc2217 --port P: a Telnet COM-port-control server for the port.
#pragma once

namespace tesmo::sim {

int Rfc2217Command(int argc, char** argv);

}  // namespace tesmo::sim
