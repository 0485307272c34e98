#include "PortStack.h"

#include "emu/Io.h"
#include "emu/Threads.h"

namespace tesmo::test {

PortStack::PortStack(emu::System& system, emu::usb::Instrument& instrument, emu::usb::DeviceConfig config)
    : system_(system), driver_(system), bus_(system)
{
    usb_ = &bus_.Plug(instrument, std::move(config));
}

PortStack::~PortStack()
{
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

NTSTATUS PortStack::Plug()
{
    plugged_ = true;
    return pnp().Plug(usb_->pdo(), driver_.object(), &node_);
}

void PortStack::Unplug()
{
    usb_->Unplug();
    pnp().Unplug(node_);
}

PDEVICE_OBJECT PortStack::fdo() const { return system_.pnp().Info(node_).fdo; }

std::u16string PortStack::portName() const { return system_.pnp().Info(node_).portName; }

}  // namespace tesmo::test
