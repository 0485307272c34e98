#include "DeviceStack.h"

#include "TestDriver.h"
#include "emu/Io.h"
#include "emu/Threads.h"

namespace tesmo::test {

DeviceStack::DeviceStack(emu::System& system, LoadedDriver& driver, emu::usb::Instrument& instrument,
                         emu::usb::DeviceConfig config)
    : system_(system), driver_(driver), bus_(system)
{
    usb_ = &bus_.Plug(instrument, std::move(config));
}

DeviceStack::~DeviceStack()
{
    if (added_ && fdo()) Remove();
    if (plugged_) {
        emu::NodeInfo info = pnp().Info(node_);
        if (info.surpriseRemoved) {
            pnp().WaitRemoved(node_);
        } else if (!info.removed) {
            // A close can reach the driver after CloseHandle returned (when a
            // request was still in flight): wait for it before the disable,
            // which open files would veto.
            emu::WaitUntil([&] { return emu::io::OpenFileCount(usb_->pdo()) == 0; }, "the port's files to close");
            pnp().Disable(node_);
        }
    }
    bus_.ReapRemovedDevices();
}

// A plugged device's as the PnP manager knows it, under its lock (a removal
// may be detaching it meanwhile); one added by hand is the top of the stack.
PDEVICE_OBJECT DeviceStack::fdo() const
{
    if (plugged_) return system_.pnp().Info(node_).fdo;
    PDEVICE_OBJECT top = usb_->pdo();
    while (top && top->AttachedDevice) top = top->AttachedDevice;
    return top == usb_->pdo() ? nullptr : top;
}

NTSTATUS DeviceStack::AddDevice()
{
    PDRIVER_OBJECT object = driver_.object();
    NTSTATUS status = object->DriverExtension->AddDevice(object, pdo());
    added_ = NT_SUCCESS(status);
    return status;
}

NTSTATUS DeviceStack::Remove()
{
    TopLevelIrp request(fdo(), IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    added_ = false;
    request.Send();
    request.WaitCompleted();
    return request.finalStatus();
}

NTSTATUS DeviceStack::Plug()
{
    plugged_ = true;
    return pnp().Plug(usb_->pdo(), driver_.object(), &node_);
}

void DeviceStack::Unplug()
{
    usb_->Unplug();
    pnp().Unplug(node_);
}

NTSTATUS DeviceStack::RequestPower(UCHAR minor, DEVICE_POWER_STATE state)
{
    POWER_STATE value;
    value.DeviceState = state;
    NTSTATUS status = PoRequestPowerIrp(fdo(), minor, value, nullptr, nullptr, nullptr);
    system_.power().WaitIdle();
    return status;
}

}  // namespace tesmo::test
