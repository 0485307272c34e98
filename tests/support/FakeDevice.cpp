#include "FakeDevice.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "emu/Threads.h"

namespace tesmo::test {

namespace {

std::u16string ServiceNameFor(const std::u16string& deviceName)
{
    return u"Fake_" + deviceName.substr(deviceName.rfind(u'\\') + 1);
}

UNICODE_STRING Counted(std::u16string& text)
{
    auto bytes = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    return UNICODE_STRING{bytes, bytes, text.data()};
}

FakeDevice* Owner(PDEVICE_OBJECT device) { return *static_cast<FakeDevice**>(device->DeviceExtension); }

}  // namespace

FakeDevice::FakeDevice(emu::System& system, FakeDeviceOptions options)
    : system_(system), driver_(system, ServiceNameFor(options.name)), options_(std::move(options))
{
    UNICODE_STRING name = Counted(options_.name);
    NTSTATUS status = IoCreateDevice(driver_.object(), sizeof(FakeDevice*), &name, FILE_DEVICE_SERIAL_PORT, 0,
                                     options_.exclusive ? TRUE : FALSE, &device_);
    if (!NT_SUCCESS(status)) throw std::runtime_error("the fake device could not be created");
    *static_cast<FakeDevice**>(device_->DeviceExtension) = this;
    device_->Flags |= options_.flags;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    if (!options_.link.empty()) {
        UNICODE_STRING link = Counted(options_.link);
        if (!NT_SUCCESS(IoCreateSymbolicLink(&link, &name))) throw std::runtime_error("the fake link exists");
        linked_ = true;
    }
    driver_.OnAny([](PDEVICE_OBJECT device, PIRP irp) { return Dispatch(device, irp); });
}

FakeDevice::~FakeDevice()
{
    DeleteLink();
    DeleteDevice();
}

void FakeDevice::DeleteLink()
{
    if (!linked_) return;
    UNICODE_STRING link = Counted(options_.link);
    IoDeleteSymbolicLink(&link);
    linked_ = false;
}

void FakeDevice::DeleteDevice()
{
    if (!device_) return;
    IoDeleteDevice(device_);
    device_ = nullptr;
}

void FakeDevice::On(UCHAR major, Answer answer)
{
    std::lock_guard lock(mutex_);
    answers_[major] = std::move(answer);
}

void FakeDevice::HoldAll(UCHAR major)
{
    On(major, [this](PIRP irp, PIO_STACK_LOCATION) { return Hold(irp); });
}

NTSTATUS FakeDevice::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    FakeDevice* self = Owner(device);
    self->Record(irp);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Answer answer;
    {
        std::lock_guard lock(self->mutex_);
        auto it = self->answers_.find(sp->MajorFunction);
        if (it != self->answers_.end()) answer = it->second;
    }
    NTSTATUS status = answer ? answer(irp, sp) : CompleteIrp(irp, STATUS_SUCCESS);
    emu::NotifyStateChanged();
    return status;
}

void FakeDevice::Record(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    RecordedRequest request;
    request.major = sp->MajorFunction;
    request.fileObject = sp->FileObject;
    request.originalFileObject = irp->Tail.Overlay.OriginalFileObject;
    request.requestorMode = irp->RequestorMode;
    const UCHAR* carried = nullptr;
    switch (sp->MajorFunction) {
    case IRP_MJ_READ: request.outputLength = sp->Parameters.Read.Length; break;
    case IRP_MJ_WRITE:
        request.inputLength = sp->Parameters.Write.Length;
        carried = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer
                                                                             : irp->UserBuffer);
        break;
    case IRP_MJ_DEVICE_CONTROL:
        request.controlCode = sp->Parameters.DeviceIoControl.IoControlCode;
        request.inputLength = sp->Parameters.DeviceIoControl.InputBufferLength;
        request.outputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
        carried = static_cast<const UCHAR*>(METHOD_FROM_CTL_CODE(request.controlCode) == METHOD_NEITHER
                                                ? sp->Parameters.DeviceIoControl.Type3InputBuffer
                                                : irp->AssociatedIrp.SystemBuffer);
        break;
    default: break;
    }
    if (carried && request.inputLength) request.input.assign(carried, carried + request.inputLength);
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
}

std::vector<RecordedRequest> FakeDevice::Requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<UCHAR> FakeDevice::Majors() const
{
    std::vector<UCHAR> majors;
    for (const auto& request : Requests()) majors.push_back(request.major);
    return majors;
}

void FakeDevice::ClearRequests()
{
    std::lock_guard lock(mutex_);
    requests_.clear();
}

NTSTATUS FakeDevice::Hold(PIRP irp)
{
    IoMarkIrpPending(irp);
    {
        std::lock_guard lock(mutex_);
        held_.push_back(irp);
    }
    IoSetCancelRoutine(irp, CancelHeld);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        {
            std::lock_guard lock(mutex_);
            held_.erase(std::find(held_.begin(), held_.end(), irp));
        }
        CompleteIrp(irp, STATUS_CANCELLED);
    }
    emu::NotifyStateChanged();
    return STATUS_PENDING;
}

void FakeDevice::CancelHeld(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    FakeDevice* self = Owner(device);
    {
        std::lock_guard lock(self->mutex_);
        auto it = std::find(self->held_.begin(), self->held_.end(), irp);
        if (it != self->held_.end()) self->held_.erase(it);
    }
    CompleteIrp(irp, STATUS_CANCELLED);
}

PIRP FakeDevice::WaitHeld(std::size_t count)
{
    emu::WaitUntil([&] { return HeldCount() >= count; }, "the fake device to hold a request");
    std::lock_guard lock(mutex_);
    return held_.empty() ? nullptr : held_.front();
}

std::size_t FakeDevice::HeldCount() const
{
    std::lock_guard lock(mutex_);
    return held_.size();
}

PIRP FakeDevice::Newest() const
{
    std::lock_guard lock(mutex_);
    return held_.empty() ? nullptr : held_.back();
}

bool FakeDevice::Claim(PIRP irp)
{
    // Under the lock the cancel routine takes too, so that a held IRP cannot
    // be completed and released between the look-up and taking it back.
    std::lock_guard lock(mutex_);
    auto it = std::find(held_.begin(), held_.end(), irp);
    if (it == held_.end() || !IoSetCancelRoutine(irp, nullptr)) return false;
    held_.erase(it);
    claimed_.insert(irp);
    return true;
}

bool FakeDevice::CompleteHeld(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    bool claimed;
    {
        std::lock_guard lock(mutex_);
        claimed = claimed_.erase(irp) > 0;
    }
    if (!claimed) {
        if (!Claim(irp)) return false;  // a cancel owns it
        std::lock_guard lock(mutex_);
        claimed_.erase(irp);
    }
    CompleteIrp(irp, status, information);
    return true;
}

void FakeDevice::Fill(PIRP irp, const std::vector<UCHAR>& bytes)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG room = sp->MajorFunction == IRP_MJ_READ ? sp->Parameters.Read.Length
                                                  : sp->Parameters.DeviceIoControl.OutputBufferLength;
    void* target = irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
    std::memcpy(target, bytes.data(), std::min<std::size_t>(room, bytes.size()));
}

}  // namespace tesmo::test
