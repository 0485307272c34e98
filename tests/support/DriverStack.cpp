#include "DriverStack.h"

#include "TestDriver.h"

namespace tesmo::test {

DriverStack::DriverStack(emu::System& system, emu::usb::Instrument& instrument, emu::usb::DeviceConfig config)
    : driver_(system), bus_(system)
{
    usb_ = &bus_.Plug(instrument, std::move(config));
}

DriverStack::~DriverStack()
{
    if (fdo_) Remove();
    bus_.ReapRemovedDevices();
}

PDEVICE_OBJECT DriverStack::pdo() const { return usb_->pdo(); }

NTSTATUS DriverStack::AddDevice()
{
    PDRIVER_OBJECT object = driver_.object();
    NTSTATUS status = object->DriverExtension->AddDevice(object, pdo());
    if (NT_SUCCESS(status)) fdo_ = pdo()->AttachedDevice;
    return status;
}

NTSTATUS DriverStack::Remove()
{
    TopLevelIrp request(fdo_, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    request.irp()->IoStatus.Status = STATUS_NOT_SUPPORTED;
    fdo_ = nullptr;
    request.Send();
    request.WaitCompleted();
    return request.finalStatus();
}

}  // namespace tesmo::test
