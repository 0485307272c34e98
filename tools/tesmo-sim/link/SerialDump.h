// A bridge's -x: every transfer to and from its port written as HexDump
// shows it (text/HexDump.h), stamped with the emulated time, whole, from any
// thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>

#include "text/HexDump.h"

namespace tesmo::sim {

class SerialDump {
public:
    SerialDump(std::FILE* out, std::string port) : out_(out), port_(std::move(port)) {}
    void Show(Direction direction, std::span<const std::uint8_t> bytes);

private:
    std::mutex mutex_;
    std::FILE* out_;
    std::string port_;
};

}  // namespace tesmo::sim
