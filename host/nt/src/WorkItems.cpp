// Work items: a routine run once per IoQueueWorkItem on a system worker thread
// at PASSIVE_LEVEL, with the item's device object referenced from queueing
// until the routine has returned, so the device cannot vanish under it.
//
// IRQL: allocate, free and queue up to DISPATCH_LEVEL. The item's state is
// guarded by one mutex of this unit, never held while a routine runs. An item
// lives in the emulated pool under the system tag 'IoWk', so an item never
// freed shows as a pool leak with that tag. The routine may free its own item,
// as on the platform; the block is then released once the routine returns.
#include "Kernel.h"
#include "emu/ExportEntry.h"
#include "emu/Threads.h"

struct _IO_WORKITEM {
    std::uint64_t magic;
    PDEVICE_OBJECT device;
    // Guarded by WorkItemMutex().
    bool queued;  // waiting for a worker
    int running;  // runs of its routine under way (one queued again by its routine may overlap)
    bool freed;   // IoFreeWorkItem was called; the block goes once no run needs it
};

namespace emu::detail {
namespace {

constexpr std::uint64_t kWorkItemAlive = 0x574F524B4954454Dull;  // "WORKITEM"
constexpr std::uint32_t kWorkItemTag = TagFromText("IoWk");

std::mutex& WorkItemMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Whether the item is one IoAllocateWorkItem handed out and that is not freed.
bool Valid(PIO_WORKITEM item, const char* routine)
{
    bool valid = item && K().pool.IsAllocated(item) && item->magic == kWorkItemAlive;
    if (valid) {
        std::lock_guard lock(WorkItemMutex());
        valid = !item->freed;
    }
    if (!valid) {
        Violation(Rule::NotModelled, nullptr,
                  std::string(routine) +
                      " on something that is not a live work item (never allocated or already freed)");
    }
    return valid;
}

void Release(PIO_WORKITEM item)
{
    item->magic = 0;
    K().pool.Free(item, kWorkItemTag, true);
}

void Run(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PVOID context)
{
    PDEVICE_OBJECT device = item->device;
    bool skip;
    {
        std::lock_guard lock(WorkItemMutex());
        item->queued = false;
        skip = item->freed;  // freed while queued (reported then): the run is dropped
        if (!skip) ++item->running;
    }
    if (!skip) {
        routine(device, context);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
            Violation(Rule::IrqlMisuse, nullptr,
                      "a work item routine returned at IRQL " + std::to_string(KeGetCurrentIrql()));
            KeLowerIrql(PASSIVE_LEVEL);
        }
    }
    bool release;
    {
        std::lock_guard lock(WorkItemMutex());
        if (!skip) --item->running;
        // Queued again by its own routine: the next run releases it; still
        // running on another worker: that run does.
        release = item->freed && !item->queued && item->running == 0;
    }
    if (release) Release(item);
    ObDereferenceObject(device);
}

}  // namespace
}  // namespace emu::detail

using namespace emu::detail;

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    EMU_ENTRY(IoAllocateWorkItem);
    PrivateOf(DeviceObject);  // a live device object
    if (K().faults.ShouldFail(emu::FaultSite::WorkItem)) return nullptr;
    void* block = K().pool.Allocate(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag, __builtin_return_address(0));
    if (!block) return nullptr;
    return new (block) _IO_WORKITEM{kWorkItemAlive, DeviceObject, false, 0, false};
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    EMU_ENTRY(IoFreeWorkItem);
    if (!Valid(IoWorkItem, "IoFreeWorkItem")) return;
    bool queued;
    bool inUse;
    {
        std::lock_guard lock(WorkItemMutex());
        IoWorkItem->freed = true;
        queued = IoWorkItem->queued;
        inUse = queued || IoWorkItem->running > 0;
    }
    if (queued) {
        Violation(emu::Rule::WorkItemQueuedTwice, nullptr,
                  "IoFreeWorkItem on a work item that is still queued; its routine would run on freed memory");
    }
    // A routine may free its own item; the block goes when the run is over.
    if (!inUse) Release(IoWorkItem);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context)
{
    EMU_ENTRY(IoQueueWorkItem);
    emu::detail::SchedulePoint();
    if (!Valid(IoWorkItem, "IoQueueWorkItem")) return;
    if (QueueType != CriticalWorkQueue && QueueType != DelayedWorkQueue && QueueType != HyperCriticalWorkQueue) {
        Violation(emu::Rule::NotModelled, nullptr, "IoQueueWorkItem with an unknown queue type");
        return;
    }
    bool already;
    {
        std::lock_guard lock(WorkItemMutex());
        already = IoWorkItem->queued;
        IoWorkItem->queued = true;
    }
    if (already) {
        // The platform would link the item into its queue a second time.
        Violation(emu::Rule::WorkItemQueuedTwice, nullptr,
                  "IoQueueWorkItem on a work item that is queued and has not started yet");
        return;
    }
    ObReferenceObject(IoWorkItem->device);
    bool accepted =
        K().workQueues.Queue([IoWorkItem, WorkerRoutine, Context] { Run(IoWorkItem, WorkerRoutine, Context); });
    if (!accepted) {
        {
            std::lock_guard lock(WorkItemMutex());
            IoWorkItem->queued = false;
        }
        ObDereferenceObject(IoWorkItem->device);
        Violation(emu::Rule::NotModelled, nullptr, "IoQueueWorkItem after the system shut its worker threads down");
    }
}

}  // extern "C"
