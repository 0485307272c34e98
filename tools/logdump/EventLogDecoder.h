// Reads a copy of a device's event log: puts the ring's entries in the order
// they were written and turns each into a line of text with its tag, its
// values named as the writing routine meant them, and the device state word
// taken apart. Requests are named by the order in which they first appear
// ("irp 3"), not by their addresses, so that one can be followed from entry
// to entry; statuses by their names. A run of entries that repeats (a
// bridge's polling reads, each a read after a time-out setting) is shown
// once with how often it came.
//
// The entries carry no time: the driver's entry has four bytes to spare
// and no clock call on the logging path.
//
// Plain functions over bytes; any thread, no locks.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "tesmo/control.h"

namespace tesmo::logdump {

struct NumberedEntry {
    std::uint32_t number;  // 1 for the first entry written since the log began
    std::uint32_t slot;    // its index in the storage
    tesmo_event_log_entry entry;
};

// The entries that were written, oldest first. `storage` is the log as the
// driver keeps it (a power-of-two number of 32-byte entries); `logIndex` its
// running index (0 before the first entry, one less after each).
std::vector<NumberedEntry> InWrittenOrder(std::span<const std::uint8_t> storage, std::int32_t logIndex);

// "Queue=AllowRequests Pnp=Working S0 D0"; a power state no request has set
// yet is "unset" ("S=unset D=unset").
std::string DecodeStateWord(std::uint64_t word);

// Names requests "irp 1", "irp 2", ... in the order they are first asked for.
class IrpNames {
public:
    std::string Name(std::uint64_t address);

private:
    std::map<std::uint64_t, unsigned> numbers_;
};

// "Rd>   irp 3: read of 100 bytes  [Queue=AllowRequests Pnp=Working S0 D0]"
std::string DescribeEntry(const tesmo_event_log_entry& entry, IrpNames& irps);

enum class LogFormat {
    Text,  // one line an entry, repeated runs once, with a legend
    Raw,   // the tag's characters as stored and the three values in hex, every entry
    Json,  // an array of objects, every entry, for programs
};

// The whole log, oldest first.
std::string FormatLog(std::span<const std::uint8_t> storage, std::int32_t logIndex, LogFormat format = LogFormat::Text);

}  // namespace tesmo::logdump
