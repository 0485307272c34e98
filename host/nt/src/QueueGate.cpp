#include "QueueGate.h"

#include "Kernel.h"
#include "RequestNames.h"
#include "emu/HexText.h"

namespace emu::detail {

namespace {

constexpr const char* kCategory = "queue gate";
constexpr const char* kCounter = "requests held";

}  // namespace

QueueGate::Queue& QueueGate::QueueLocked(const _IO_CSQ* queue)
{
    auto found = queues_.find(queue);
    if (found == queues_.end()) {
        found = queues_.emplace(queue, Queue{static_cast<int>(queues_.size() + 1)}).first;
    }
    return found->second;
}

void QueueGate::Held(_IO_CSQ* queue, _IRP* irp)
{
    EventTimeline* timeline = ActiveTimeline();
    if (!timeline) return;
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    Hold hold{++K().timelineIds, "held " + RequestName(location->MajorFunction, location->MinorFunction)};
    std::lock_guard lock(mutex_);
    Queue& counted = QueueLocked(queue);
    timeline->AsyncBegin(hold.id, hold.name, kCategory,
                         "\"irp\": \"" + HexNumber(reinterpret_cast<std::uintptr_t>(irp)) +
                             "\", \"queue\": " + std::to_string(counted.number));
    timeline->Counter(kCounter, kCategory, "queue " + std::to_string(counted.number), ++counted.held);
    holds_.insert_or_assign(irp, std::move(hold));
}

void QueueGate::Left(_IO_CSQ* queue, _IRP* irp, const char* how)
{
    EventTimeline* timeline = ActiveTimeline();
    if (!timeline) return;
    std::lock_guard lock(mutex_);
    auto found = holds_.find(irp);
    if (found == holds_.end()) return;  // held before the timeline began
    Queue& counted = QueueLocked(queue);
    timeline->AsyncEnd(found->second.id, found->second.name, kCategory, std::string("\"left\": \"") + how + "\"");
    timeline->Counter(kCounter, kCategory, "queue " + std::to_string(counted.number), --counted.held);
    holds_.erase(found);
}

}  // namespace emu::detail
