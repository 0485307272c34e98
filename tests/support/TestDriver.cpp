#include "TestDriver.h"

#include <map>
#include <mutex>

namespace tesmo::test {

namespace {

std::mutex g_registryMutex;
std::map<PDRIVER_OBJECT, TestDriver*> g_registry;
TestDriver::Dispatch* g_unused = nullptr;

NTSTATUS NTAPI InitializeTestDriver(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& slot : driver->MajorFunction) slot = nullptr;
    return STATUS_SUCCESS;
}

}  // namespace

TestDriver::TestDriver(emu::System& system, const std::u16string& name) : system_(system)
{
    (void)g_unused;
    object_ = system_.CreateDriver(name, InitializeTestDriver);
    for (auto& slot : object_->MajorFunction) slot = Trampoline;
    std::lock_guard lock(g_registryMutex);
    g_registry[object_] = this;
}

TestDriver::~TestDriver()
{
    DeleteDevices();
    {
        std::lock_guard lock(g_registryMutex);
        g_registry.erase(object_);
    }
    system_.UnloadDriver(object_);
}

PDEVICE_OBJECT TestDriver::CreateDevice(PDEVICE_OBJECT below, ULONG extensionSize)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(object_, extensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return nullptr;
    PDEVICE_OBJECT attachedTo = below ? IoAttachDeviceToDeviceStack(device, below) : nullptr;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    devices_.emplace_back(device, attachedTo);
    return device;
}

void TestDriver::On(UCHAR major, Dispatch dispatch) { handlers_[major] = std::move(dispatch); }

void TestDriver::OnAny(Dispatch dispatch) { fallback_ = std::move(dispatch); }

void TestDriver::DeleteDevices()
{
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        if (it->second) IoDetachDevice(it->second);
        IoDeleteDevice(it->first);
    }
    devices_.clear();
}

NTSTATUS TestDriver::Trampoline(PDEVICE_OBJECT device, PIRP irp)
{
    TestDriver* self;
    {
        std::lock_guard lock(g_registryMutex);
        self = g_registry.at(device->DriverObject);
    }
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (self->handlers_[major]) return self->handlers_[major](device, irp);
    if (self->fallback_) return self->fallback_(device, irp);
    return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

TopLevelIrp::TopLevelIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor) : target_(target)
{
    irp_ = IoAllocateIrp(target->StackSize, FALSE);
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp_);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
}

TopLevelIrp::~TopLevelIrp()
{
    if (irp_) IoFreeIrp(irp_);
}

NTSTATUS TopLevelIrp::Send() { return IoCallDriver(target_, irp_); }

void TopLevelIrp::WaitCompleted() { KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr); }

bool TopLevelIrp::completed() const { return KeReadStateEvent(const_cast<KEVENT*>(&done_)) != 0; }

NTSTATUS TopLevelIrp::Completed(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* self = static_cast<TopLevelIrp*>(context);
    self->routineDevice_ = device;
    self->finalStatus_ = irp->IoStatus.Status;
    self->pendingReturned_ = irp->PendingReturned != FALSE;
    KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace tesmo::test
