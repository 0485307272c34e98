// The queue gate on the timeline. A driver holds the requests it cannot
// serve yet in a cancel-safe queue and admits them by taking them out when
// its gate opens; the library sees both. Each held request is an
// asynchronous slice ("held READ") from its insertion to the moment it
// leaves the queue, taken out by the driver (which then serves or fails it)
// or cancelled, and each queue's number of held requests is a counter
// track, which stands above zero while the gate is closed to someone.
// Private to the emulation.
//
// Thread-safe; called under the driver's queue lock (its callbacks'), so
// that a hold is on the timeline before anyone can end it. Does nothing
// while no timeline is written.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

struct _IO_CSQ;
struct _IRP;

namespace emu::detail {

class QueueGate {
public:
    void Held(_IO_CSQ* queue, _IRP* irp);
    // `how`: "taken out" or "cancelled".
    void Left(_IO_CSQ* queue, _IRP* irp, const char* how);

private:
    struct Hold {
        std::uint64_t id;
        std::string name;
    };
    struct Queue {
        int number;  // in order of first use: "queue 1"
        std::int64_t held = 0;
    };
    Queue& QueueLocked(const _IO_CSQ* queue);

    std::mutex mutex_;
    std::unordered_map<const _IRP*, Hold> holds_;
    std::unordered_map<const _IO_CSQ*, Queue> queues_;
};

}  // namespace emu::detail
