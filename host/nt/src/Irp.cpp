// IRPs: allocation, the request-stack helpers, IofCallDriver with the
// verifier's dispatch checks, IofCompleteRequest walking completion routines
// from the bottom up exactly as the platform does, cancellation, and requests
// built with IoBuildDeviceIoControlRequest.
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "Kernel.h"
#include "RequestNames.h"
#include "emu/ExportEntry.h"
#include "emu/HexText.h"
#include "emu/Threads.h"

namespace emu::detail {

namespace {

constexpr std::size_t kIrpHeader = 16;  // the IrpPrivate pointer sits in front of the IRP
constexpr std::size_t kIrpQuarantine = 512;

IrpPrivate*& HeaderOf(PIRP irp) { return *reinterpret_cast<IrpPrivate**>(reinterpret_cast<char*>(irp) - kIrpHeader); }

PIO_STACK_LOCATION StackBase(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

void ClearStackLocation(PIO_STACK_LOCATION sp)
{
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control &= SL_ERROR_RETURNED;
    sp->Parameters.Others.Argument1 = nullptr;
    sp->Parameters.Others.Argument2 = nullptr;
    sp->Parameters.Others.Argument3 = nullptr;
    sp->Parameters.Others.Argument4 = nullptr;
    sp->FileObject = nullptr;
}

void Unreference(IrpPrivate* p)
{
    auto& io = K().io;
    std::lock_guard lock(io.mutex);
    if (--p->references == 0) io.ReleaseIrp(p);
}

// The I/O manager's last step: results to the issuer, then release.
// The end of the request's life on the timeline, if it began there: its
// completion walked to the top, or its owner took it back (completion
// stopped with STATUS_MORE_PROCESSING_REQUIRED) and completed, freed or
// reused it.
void EndLife(IrpPrivate* p)
{
    emu::EventTimeline* timeline = ActiveTimeline();
    if (!timeline) return;
    std::uint64_t lifeId = 0;
    std::string name;
    {
        std::lock_guard lock(K().io.mutex);
        lifeId = std::exchange(p->timelineId, 0);
        name = std::move(p->timelineName);
    }
    if (lifeId) timeline->AsyncEnd(lifeId, name, "request");
}

void FinishIrp(IrpPrivate* p)
{
    PIRP irp = p->irp_ptr();
    {
        std::lock_guard lock(K().io.mutex);
        p->finished = true;
    }
    NTSTATUS status = irp->IoStatus.Status;
    if (p->hasOutputLimit && (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) &&
        irp->IoStatus.Information > p->outputLimit) {
        Violation(Rule::InformationExceedsBuffer, irp,
                  "IoStatus.Information " + std::to_string(irp->IoStatus.Information) +
                      " exceeds the caller's buffer of " + std::to_string(p->outputLimit) + " bytes");
    }
    switch (p->origin) {
    case IrpOrigin::Threaded:
        if (p->userOutput && irp->AssociatedIrp.SystemBuffer && NT_SUCCESS(status)) {
            std::size_t n = std::min<std::size_t>(irp->IoStatus.Information, p->outputLength);
            std::memcpy(p->userOutput, irp->AssociatedIrp.SystemBuffer, n);
        }
        if (p->systemBuffer) {
            irp->AssociatedIrp.SystemBuffer = nullptr;
            p->systemBuffer.reset();
        }
        if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
        if (irp->UserEvent) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
        break;
    case IrpOrigin::IoManager:
        if (p->onFinished) p->onFinished(irp);
        break;
    case IrpOrigin::Allocated:
        Violation(Rule::NotModelled, irp,
                  "an IRP from IoAllocateIrp completed past its last stack location: its creator must stop "
                  "completion with STATUS_MORE_PROCESSING_REQUIRED and free it");
        return;  // the creator still owns it
    }
    NotifyStateChanged();
    Unreference(p);
}

}  // namespace

PIRP IrpPrivate::irp_ptr() { return irp; }

void ReferenceIrp(PIRP irp)
{
    IrpPrivate* p = HeaderOf(irp);
    std::lock_guard lock(K().io.mutex);
    ++p->references;
}

void DereferenceIrp(PIRP irp) { Unreference(HeaderOf(irp)); }

IrpPrivate* PrivateOf(PIRP irp, const char* caller)
{
    if (!irp) BugCheck(std::string(caller) + " on a null IRP");
    IrpPrivate* p = HeaderOf(irp);
    if (!p || p->magic != kIrpAlive) {
        Violation(Rule::IrpUseAfterFree, irp,
                  std::string(caller) + " on an IRP that the I/O manager has already released");
        return nullptr;
    }
    return p;
}

PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin)
{
    if (stackSize < 1) BugCheck("IRP allocated without stack locations");
    std::size_t irpBytes = sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION);
    char* block = static_cast<char*>(std::calloc(1, kIrpHeader + irpBytes));
    auto* p = new IrpPrivate;
    p->origin = origin;
    p->references = 1;
    p->shadow.resize(stackSize + 2);
    p->block = block;
    p->blockSize = kIrpHeader + irpBytes;
    PIRP irp = reinterpret_cast<PIRP>(block + kIrpHeader);
    p->irp = irp;
    HeaderOf(irp) = p;
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(irpBytes);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = StackBase(irp) + stackSize;
    InitializeListHead(&irp->ThreadListEntry);
    {
        std::lock_guard lock(K().io.mutex);
        K().io.liveIrps.insert(p);
    }
    return irp;
}

std::unique_ptr<UCHAR[]> AttachSystemBuffer(PIRP irp, const void* input, ULONG inputLength, ULONG size, bool copiesOut)
{
    if (size == 0) return nullptr;
    auto buffer = std::make_unique<UCHAR[]>(size);
    std::memset(buffer.get(), kUninitialisedByte, size);
    if (inputLength) std::memcpy(buffer.get(), input, std::min(inputLength, size));
    irp->AssociatedIrp.SystemBuffer = buffer.get();
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (copiesOut ? IRP_INPUT_OPERATION : 0);
    return buffer;
}

void IoManager::ReleaseIrp(IrpPrivate* p)
{
    liveIrps.erase(p);
    p->magic = kIrpFreed;
    std::memset(p->irp, 0xDF, p->blockSize - kIrpHeader);
    freedIrps.push_back(p);
    while (freedIrps.size() > kIrpQuarantine) {
        IrpPrivate* old = freedIrps.front();
        freedIrps.pop_front();
        std::free(old->block);
        delete old;
    }
}

}  // namespace emu::detail

using namespace emu::detail;

extern "C" {

PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
{
    EMU_ENTRY(IoGetCurrentIrpStackLocation);
    return Irp->Tail.Overlay.CurrentStackLocation;
}

PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp)
{
    EMU_ENTRY(IoGetNextIrpStackLocation);
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

VOID IoSkipCurrentIrpStackLocation(PIRP Irp)
{
    EMU_ENTRY(IoSkipCurrentIrpStackLocation);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}

VOID IoSetNextIrpStackLocation(PIRP Irp)
{
    EMU_ENTRY(IoSetNextIrpStackLocation);
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}

VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp)
{
    EMU_ENTRY(IoCopyCurrentIrpStackLocationToNext);
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    std::memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}

VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context, BOOLEAN InvokeOnSuccess,
                            BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    EMU_ENTRY(IoSetCompletionRoutine);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

VOID IoMarkIrpPending(PIRP Irp)
{
    EMU_ENTRY(IoMarkIrpPending);
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
    IrpPrivate* p = PrivateOf(Irp, "IoMarkIrpPending");
    if (!p) return;
    int location = static_cast<unsigned char>(Irp->CurrentLocation);  // a wild value fails the bounds checks
    std::lock_guard lock(K().io.mutex);
    if (location >= 1 && location <= Irp->StackCount) p->shadow[location].markedPending = true;
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    EMU_ENTRY(IoSetCancelRoutine);
    return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), reinterpret_cast<PVOID>(CancelRoutine)));
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN)
{
    EMU_ENTRY(IoAllocateIrp);
    emu::detail::SchedulePoint();
    if (K().faults.ShouldFail(emu::FaultSite::IrpBuild)) return nullptr;
    return AllocateIrp(StackSize, IrpOrigin::Allocated);
}

VOID IoFreeIrp(PIRP Irp)
{
    EMU_ENTRY(IoFreeIrp, Irp);
    IrpPrivate* p = PrivateOf(Irp, "IoFreeIrp");
    if (!p) return;
    if (p->origin != IrpOrigin::Allocated) {
        Violation(emu::Rule::NotModelled, Irp,
                  "IoFreeIrp on an IRP the I/O manager built; complete it instead and the I/O manager releases it");
        return;
    }
    EndLife(p);
    Unreference(p);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    EMU_ENTRY(IoReuseIrp, Irp);
    IrpPrivate* p = PrivateOf(Irp, "IoReuseIrp");
    if (!p) return;
    CCHAR stackCount = Irp->StackCount;
    std::memset(Irp, 0, sizeof(IRP) + stackCount * sizeof(IO_STACK_LOCATION));
    Irp->Type = 6;
    Irp->Size = static_cast<USHORT>(sizeof(IRP) + stackCount * sizeof(IO_STACK_LOCATION));
    Irp->StackCount = stackCount;
    Irp->CurrentLocation = static_cast<CHAR>(stackCount + 1);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + stackCount;
    Irp->IoStatus.Status = Iostatus;
    InitializeListHead(&Irp->ThreadListEntry);
    EndLife(p);
    std::lock_guard lock(K().io.mutex);
    p->finished = false;
    p->shadow.assign(stackCount + 2, StackShadow{});
    p->frames.clear();
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    EMU_ENTRY(IofCallDriver, Irp);
    emu::detail::SchedulePoint();
    IrpPrivate* p = PrivateOf(Irp, "IofCallDriver");
    if (!p) return STATUS_INVALID_PARAMETER;
    DevicePrivate* device = PrivateOf(DeviceObject);
    if (Irp->CurrentLocation <= 1) BugCheck("NO_MORE_IRP_STACK_LOCATIONS: IofCallDriver with no stack location left");
    Irp->CurrentLocation--;
    PIO_STACK_LOCATION sp = --Irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = DeviceObject;
    int location = static_cast<unsigned char>(Irp->CurrentLocation);  // at least 1 after the check above
    UCHAR major = sp->MajorFunction;

    if (major == IRP_MJ_POWER && !Self().inPoCallDriver) {
        Violation(emu::Rule::PowerIrpNotPoCallDriver, Irp, "a power IRP passed down with IoCallDriver");
    }
    Self().inPoCallDriver = false;

    const void* thread = &Self();
    emu::EventTimeline* timeline = emu::detail::ActiveTimeline();
    double begin = timeline ? timeline->Now() : 0;
    std::string name = timeline ? emu::detail::RequestName(major, sp->MinorFunction) : std::string();
    std::uint64_t flowId = 0, lifeId = 0;
    {
        std::lock_guard lock(K().io.mutex);
        ++p->references;
        p->frames.push_back(DispatchFrame{location, false, thread});
        if (timeline) {
            // The request's life begins with its first call; a completion
            // routine set for this location is joined to this call.
            if (p->timelineId == 0) {
                lifeId = p->timelineId = ++K().timelineIds;
                p->timelineName = name;
            }
            if (sp->CompletionRoutine) flowId = p->shadow[location].flowId = ++K().timelineIds;
        }
    }
    device->references.fetch_add(1);
    if (lifeId)
        timeline->AsyncBegin(lifeId, name, "request",
                             "\"irp\": \"" + emu::HexNumber(reinterpret_cast<std::uintptr_t>(Irp)) + "\"");
    if (flowId) timeline->FlowStart(flowId, begin);

    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (timeline) {
        timeline->Slice("IoCallDriver " + name, "dispatch", begin, timeline->Now(),
                        "\"irp\": \"" + emu::HexNumber(reinterpret_cast<std::uintptr_t>(Irp)) +
                            "\", \"location\": " + std::to_string(location) + ", \"returned\": \"" +
                            emu::HexNumber(static_cast<std::uint32_t>(status)) +
                            "\", \"emulated_time\": " + std::to_string(emu::System::Current().clock().Now()));
    }

    if (KeGetCurrentIrql() != PASSIVE_LEVEL && KeGetCurrentIrql() > DISPATCH_LEVEL) {
        Violation(emu::Rule::IrqlMisuse, Irp, "a dispatch routine returned above DISPATCH_LEVEL");
    }

    std::string problem;
    emu::Rule rule = emu::Rule::NotModelled;
    {
        std::lock_guard lock(K().io.mutex);
        DispatchFrame frame{location, false, thread};
        for (auto it = p->frames.rbegin(); it != p->frames.rend(); ++it) {
            if (it->location == location && it->thread == thread) {
                frame = *it;
                p->frames.erase(std::next(it).base());
                break;
            }
        }
        if (status == STATUS_PENDING) {
            for (auto it = p->frames.rbegin(); it != p->frames.rend(); ++it) {
                if (it->thread == thread) {
                    it->nestedPending = true;
                    break;
                }
            }
        }
        const StackShadow& shadow = p->shadow[location];
        if (status == STATUS_PENDING) {
            if (!shadow.markedPending && !frame.nestedPending) {
                rule = emu::Rule::PendingWithoutMark;
                problem = "dispatch returned STATUS_PENDING without IoMarkIrpPending";
            }
        } else if (shadow.markedPending) {
            rule = emu::Rule::MarkWithoutPending;
            problem = "IoMarkIrpPending was called but dispatch returned " +
                      emu::HexNumber(static_cast<std::uint32_t>(status));
        } else if (!shadow.completionReached) {
            rule = emu::Rule::ReturnedWithoutCompletion;
            problem = "dispatch returned " + emu::HexNumber(static_cast<std::uint32_t>(status)) +
                      " without completing the IRP and without STATUS_PENDING";
        } else if (shadow.statusAtCompletion != status) {
            rule = emu::Rule::ReturnedStatusMismatch;
            problem = "dispatch returned " + emu::HexNumber(static_cast<std::uint32_t>(status)) +
                      " but completed the IRP with " +
                      emu::HexNumber(static_cast<std::uint32_t>(shadow.statusAtCompletion));
        }
    }
    if (!problem.empty()) {
        std::string who = "major " + emu::HexNumber(major) + " minor " + emu::HexNumber(sp->MinorFunction);
        Violation(rule, Irp, problem + " (" + who + ")");
    }
    K().io.DereferenceDevice(device);
    Unreference(p);
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR)
{
    EMU_ENTRY(IofCompleteRequest, Irp);
    emu::detail::SchedulePoint();
    IrpPrivate* p = PrivateOf(Irp, "IofCompleteRequest");
    if (!p) return;
    {
        std::unique_lock lock(K().io.mutex);
        // A driver completing from inside its own dispatch an IRP whose
        // completion already passed its location no longer owns it.
        const DispatchFrame* frame = nullptr;
        for (auto it = p->frames.rbegin(); it != p->frames.rend(); ++it) {
            if (it->thread == &Self()) {
                frame = &*it;
                break;
            }
        }
        bool passedOwner =
            frame && p->shadow[frame->location].completionReached && Irp->CurrentLocation > frame->location;
        if (p->finished || Irp->CurrentLocation > Irp->StackCount + 1 || passedOwner) {
            lock.unlock();
            Violation(emu::Rule::IrpCompletedTwice, Irp, "IofCompleteRequest on an IRP that is already completed");
            return;
        }
    }
    // Exchanged atomically by IoCancelIrp and IoSetCancelRoutine on other threads.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST)) {
        Violation(emu::Rule::CompletedWithCancelRoutine, Irp, "IRP completed while a cancel routine is still set");
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        Violation(emu::Rule::NotModelled, Irp, "IRP completed with STATUS_PENDING as its final status");
    }

    if (Irp->CurrentLocation > Irp->StackCount) {
        // Completed again by its originator after it stopped completion with
        // STATUS_MORE_PROCESSING_REQUIRED: nothing left to walk.
        Irp->CurrentLocation = static_cast<CHAR>(Irp->StackCount + 2);
        EndLife(p);
        FinishIrp(p);
        return;
    }

    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    do {
        int location = Irp->CurrentLocation - 1;
        {
            std::lock_guard lock(K().io.mutex);
            p->shadow[location].completionReached = true;
            p->shadow[location].statusAtCompletion = Irp->IoStatus.Status;
        }
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                      (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (sp->Control & SL_INVOKE_ON_CANCEL));
        if (invoke) {
            PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
            PVOID context = sp->Context;
            ClearStackLocation(sp);
            PDEVICE_OBJECT owner = (Irp->CurrentLocation == Irp->StackCount + 1)
                                       ? nullptr
                                       : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            BOOLEAN pendingReturned = Irp->PendingReturned;
            emu::EventTimeline* timeline = emu::detail::ActiveTimeline();
            double begin = timeline ? timeline->Now() : 0;
            std::uint64_t flowId = 0;
            if (timeline) {
                std::lock_guard lock(K().io.mutex);
                flowId = std::exchange(p->shadow[location].flowId, 0);
            }
            NTSTATUS result = routine(owner, Irp, context);
            if (timeline) {
                if (flowId) timeline->FlowEnd(flowId, begin);
                timeline->Slice("completion routine", "completion", begin, timeline->Now(),
                                "\"irp\": \"" + emu::HexNumber(reinterpret_cast<std::uintptr_t>(Irp)) +
                                    "\", \"status\": \"" + emu::HexNumber(static_cast<std::uint32_t>(status)) +
                                    "\", \"result\": \"" + emu::HexNumber(static_cast<std::uint32_t>(result)) + "\"");
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
            if (pendingReturned && Irp->CurrentLocation <= Irp->StackCount &&
                !(IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED)) {
                Violation(emu::Rule::PendingNotPropagated, Irp,
                          "a completion routine let completion continue without IoMarkIrpPending although "
                          "Irp->PendingReturned was set");
            }
        } else {
            if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) {
                IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
            }
            ClearStackLocation(sp);
        }
        IoSkipCurrentIrpStackLocation(Irp);
        sp++;
    } while (Irp->CurrentLocation <= Irp->StackCount + 1);

    EndLife(p);
    FinishIrp(p);
}

BOOLEAN IoCancelIrp(PIRP Irp)
{
    EMU_ENTRY(IoCancelIrp, Irp);
    IrpPrivate* p = PrivateOf(Irp, "IoCancelIrp");
    if (!p) return FALSE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Read without the cancel lock by whoever sets a cancel routine and then
    // checks whether the IRP was cancelled meanwhile.
    __atomic_store_n(&Irp->Cancel, BOOLEAN(TRUE), __ATOMIC_SEQ_CST);
    auto routine = reinterpret_cast<PDRIVER_CANCEL>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), nullptr));
    if (routine) {
        if (Irp->CurrentLocation > Irp->StackCount) BugCheck("CANCEL_STATE_IN_COMPLETED_IRP");
        Irp->CancelIrql = irql;
        routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
        if (__atomic_load_n(&K().io.cancelLock, __ATOMIC_RELAXED) == reinterpret_cast<ULONG_PTR>(&Self())) {
            Violation(emu::Rule::SpinLockMisuse, Irp,
                      "a cancel routine returned without releasing the cancel spin lock");
        }
        emu::NotifyStateChanged();
        return TRUE;
    }
    IoReleaseCancelSpinLock(irql);
    return FALSE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    EMU_ENTRY(IoBuildDeviceIoControlRequest);
    if (K().faults.ShouldFail(emu::FaultSite::IrpBuild)) return nullptr;
    PIRP irp = AllocateIrp(DeviceObject->StackSize, IrpOrigin::Threaded);
    IrpPrivate* p = HeaderOf(irp);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        const bool copiesOut = OutputBuffer && OutputBufferLength;
        p->systemBuffer = AttachSystemBuffer(irp, InputBuffer, InputBuffer ? InputBufferLength : 0,
                                             std::max(InputBufferLength, OutputBufferLength), copiesOut);
        if (copiesOut) {
            p->userOutput = OutputBuffer;
            p->outputLength = OutputBufferLength;
        }
        p->hasOutputLimit = true;
        p->outputLimit = OutputBufferLength;
        break;
    }
    case METHOD_NEITHER:
        sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    default:
        Violation(emu::Rule::NotModelled, irp, "IoBuildDeviceIoControlRequest with a direct-I/O control code");
        break;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = &Self();
    return irp;
}

}  // extern "C"
