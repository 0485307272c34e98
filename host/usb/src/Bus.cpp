// The bus driver object, its dispatch routines, and plugging devices.
#include "usb/Bus.h"

#include <algorithm>

#include "DeviceInternals.h"
#include "FrameSchedule.h"

namespace emu::usb {

namespace detail {

// The dispatch routines find their device through the PDO's extension.
struct BusDispatch {
    static UsbDevice& Of(PDEVICE_OBJECT pdo) { return *static_cast<PdoExtension*>(pdo->DeviceExtension)->device; }

    static NTSTATUS NTAPI InternalControl(PDEVICE_OBJECT pdo, PIRP irp) { return Of(pdo).DispatchInternalControl(irp); }
    static NTSTATUS NTAPI Pnp(PDEVICE_OBJECT pdo, PIRP irp) { return Of(pdo).DispatchPnp(irp); }
    static NTSTATUS NTAPI Power(PDEVICE_OBJECT pdo, PIRP irp) { return Of(pdo).DispatchPower(irp); }
    static NTSTATUS NTAPI SystemControl(PDEVICE_OBJECT pdo, PIRP irp) { return Of(pdo).DispatchSystemControl(irp); }
    static void NTAPI Cancel(PDEVICE_OBJECT pdo, PIRP irp) { Of(pdo).OnTransferCancelled(irp); }
};

VOID NTAPI CancelTransfer(PDEVICE_OBJECT pdo, PIRP irp)
{
    // The bus's own lock orders everything after this point.
    IoReleaseCancelSpinLock(irp->CancelIrql);
    BusDispatch::Cancel(pdo, irp);
}

namespace {

NTSTATUS NTAPI InitializeBusDriver(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusDispatch::InternalControl;
    driver->MajorFunction[IRP_MJ_PNP] = BusDispatch::Pnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusDispatch::Power;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusDispatch::SystemControl;
    return STATUS_SUCCESS;
}

}  // namespace
}  // namespace detail

Bus::Bus(emu::System& system)
    : system_(system),
      frames_(std::make_unique<detail::FrameSchedule>()),
      capture_(std::make_unique<detail::CaptureSlot>())
{
    driver_ = system_.CreateDriver(u"UsbBus", detail::InitializeBusDriver);
}

Bus::~Bus()
{
    // Devices go in reverse order of plugging; each stops its thread and
    // deletes its PDO.
    while (!devices_.empty()) devices_.pop_back();
    system_.UnloadDriver(driver_);
}

UsbDevice& Bus::Plug(Instrument& instrument, DeviceConfig config)
{
    unsigned port = 1;
    while (std::any_of(devices_.begin(), devices_.end(), [&](const auto& device) { return device->port() == port; })) {
        ++port;
    }
    devices_.push_back(std::make_unique<UsbDevice>(driver_, port, instrument, std::move(config), *frames_));
    devices_.back()->capture_ = capture_.get();
    return *devices_.back();
}

void Bus::SetCapture(std::unique_ptr<UsbCapture> capture)
{
    std::lock_guard lock(capture_->mutex);
    capture_->capture = std::move(capture);
}

void Bus::ReapRemovedDevices()
{
    for (auto& device : devices_) device->ReapPdo();
}

bool Bus::Release(UsbDevice& device)
{
    auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& held) { return held.get() == &device; });
    if (it == devices_.end() || device.pdo()) return false;
    devices_.erase(it);
    return true;
}

std::vector<UsbDevice*> Bus::devices() const
{
    std::vector<UsbDevice*> result;
    for (const auto& device : devices_) result.push_back(device.get());
    return result;
}

}  // namespace emu::usb
