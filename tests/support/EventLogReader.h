// Reads a device's event log the way a debugger would: from the newest entry
// upward through the ring, turned around so that the oldest comes first.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "DeviceExtension.h"

namespace tesmo::test {

struct LoggedEvent {
    std::string tag;
    ULONG64 value1, value2, value3;
    // The device state word recorded as value3, unpacked.
    ULONG queueState() const { return ULONG(value3 >> 24) & 0xFF; }
    ULONG pnpState() const { return ULONG(value3 >> 16) & 0xFF; }
    ULONG systemState() const { return ULONG(value3 >> 8) & 0xFF; }
    ULONG deviceState() const { return ULONG(value3) & 0xFF; }
};

// A writer counts itself out of LogWriters (an interlocked decrement) after
// its stores; the reader takes the count and the ring's pointer and index by
// acquiring loads, so that every writer that finished is seen whole. Read
// when the event the test waits for has been logged, that is, with its
// writer finished.
inline std::vector<LoggedEvent> ReadEventLog(const DEVICE_EXTENSION* extension)
{
    std::vector<LoggedEvent> events;
    (void)__atomic_load_n(&extension->LogWriters, __ATOMIC_ACQUIRE);
    const EVENT_LOG_ENTRY* ring = __atomic_load_n(&extension->LogEntries, __ATOMIC_ACQUIRE);
    if (!ring) return events;
    const LONG index = __atomic_load_n(&extension->LogIndex, __ATOMIC_ACQUIRE);
    ULONG entries = extension->LogMask + 1;
    ULONG written = static_cast<ULONG>(-index);
    ULONG count = written < entries ? written : entries;
    ULONG newest = static_cast<ULONG>(index) & extension->LogMask;
    for (ULONG i = count; i-- > 0;) {
        const EVENT_LOG_ENTRY& e = ring[(newest + i) & extension->LogMask];
        events.push_back(
            LoggedEvent{std::string(reinterpret_cast<const char*>(e.Tag), 4), e.Value1, e.Value2, e.Value3});
    }
    return events;
}

// The events with a given tag, oldest first.
inline std::vector<LoggedEvent> EventsTagged(const DEVICE_EXTENSION* extension, const std::string& tag)
{
    std::vector<LoggedEvent> found;
    for (auto& e : ReadEventLog(extension)) {
        if (e.tag == tag) found.push_back(e);
    }
    return found;
}

}  // namespace tesmo::test
