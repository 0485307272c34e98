// Reads a copy of a device's event log: puts the ring's entries in the order
// they were written and turns each into a line of text with its tag, its
// values named as the writing routine meant them, and the device state word
// taken apart.
//
// Plain functions over bytes; any thread, no locks.
#pragma once

#include <cstdint>
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

// "Queue=AllowRequests Pnp=Working S0 D0"
std::string DecodeStateWord(std::uint64_t word);

// "Rd>   IRP 0x6130000a1b80, 100 bytes  [Queue=AllowRequests Pnp=Working S0 D0]"
std::string DescribeEntry(const tesmo_event_log_entry& entry);

// The whole log as text, one entry a line, oldest first.
std::string FormatLog(std::span<const std::uint8_t> storage, std::int32_t logIndex);

}  // namespace tesmo::logdump
