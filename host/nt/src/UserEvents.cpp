// Event objects of the process and waits on events and file handles.
#include "Kernel.h"

namespace emu::io {

using namespace emu::detail;

Status CreateEvent(Handle* event, bool manualReset, bool initiallySignalled)
{
    ApiScope scope;
    auto object = std::make_shared<EventObject>();
    KeInitializeEvent(&object->event, manualReset ? NotificationEvent : SynchronizationEvent,
                      initiallySignalled ? TRUE : FALSE);
    UserIo& userIo = K().userIo;
    std::lock_guard lock(userIo.mutex);
    *event = userIo.handles.Insert(std::move(object));
    return STATUS_SUCCESS;
}

Status SetEvent(Handle event)
{
    ApiScope scope;
    std::shared_ptr<EventObject> object;
    NTSTATUS status = K().userIo.ReferenceEvent(event, &object);
    if (NT_SUCCESS(status)) KeSetEvent(&object->event, IO_NO_INCREMENT, FALSE);
    return status;
}

Status ResetEvent(Handle event)
{
    ApiScope scope;
    std::shared_ptr<EventObject> object;
    NTSTATUS status = K().userIo.ReferenceEvent(event, &object);
    if (NT_SUCCESS(status)) KeClearEvent(&object->event);
    return status;
}

Status WaitForSingleObject(Handle object, std::optional<Time> timeout)
{
    ApiScope scope;
    UserIo& userIo = K().userIo;
    LARGE_INTEGER relative;
    relative.QuadPart = timeout ? -std::max<Time>(*timeout, 0) : 0;
    PLARGE_INTEGER limit = timeout ? &relative : nullptr;

    std::shared_ptr<EventObject> event;
    NTSTATUS status = userIo.ReferenceEvent(object, &event);
    if (NT_SUCCESS(status)) return KeWaitForSingleObject(&event->event, Executive, UserMode, FALSE, limit);
    if (status != STATUS_OBJECT_TYPE_MISMATCH) return status;

    FileRecord* file = nullptr;
    status = userIo.ReferenceFile(object, &file);
    if (!NT_SUCCESS(status)) return status;
    status = KeWaitForSingleObject(&file->object.Event, Executive, UserMode, FALSE, limit);
    userIo.DereferenceFile(file, true);
    return status;
}

}  // namespace emu::io
