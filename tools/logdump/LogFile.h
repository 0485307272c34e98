// A saved copy of an event log: the 8 characters "TESMOLOG", the LogIndex
// (signed 32-bit), the storage's size in bytes (unsigned 32-bit), both
// little-endian, then the storage as the driver keeps it. A raw memory image
// of the storage (from a debugger) is read too, with its index given apart.
//
// Plain functions; any thread, no locks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tesmo::logdump {

struct LogCopy {
    std::vector<std::uint8_t> storage;
    std::int32_t logIndex = 0;
};

bool SaveLog(const std::string& path, const LogCopy& copy);
// Nothing when the file cannot be read or is not a saved log.
std::optional<LogCopy> LoadLog(const std::string& path);
std::optional<LogCopy> LoadRawImage(const std::string& path, std::int32_t logIndex);

}  // namespace tesmo::logdump
