// One instrument on the emulated USB bus under the driver being tested,
// brought as far as a test needs it: AddDevice run by hand on its PDO, as the
// PnP manager runs it before START, for tests that call the driver's routines
// on a device nobody started; or the PnP manager's whole plug-in (AddDevice,
// the port installer's PortName, START), after which the instrument is a
// started COM port. The destructor undoes whichever ran: the REMOVE of a
// device added by hand; for a plugged one a disable while the device is still
// there, or the wait for the removal an unplug started. Then the bus's PDOs
// are reaped.
//
// Threads: built, used and destroyed on the test's thread at PASSIVE_LEVEL.
#pragma once

#include "DeviceExtension.h"
#include "LoadedDriver.h"
#include "emu/Pnp.h"
#include "usb/Instrument.h"
#include "usb/Bus.h"
#include "usb/UsbDevice.h"

namespace tesmo::test {

class DeviceStack {
public:
    DeviceStack(emu::System& system, LoadedDriver& driver, emu::usb::Instrument& instrument,
                emu::usb::DeviceConfig config = {});
    ~DeviceStack();
    DeviceStack(const DeviceStack&) = delete;
    DeviceStack& operator=(const DeviceStack&) = delete;

    // The driver's AddDevice on the PDO, called by hand.
    NTSTATUS AddDevice();
    // IRP_MN_REMOVE_DEVICE to a device added by hand.
    NTSTATUS Remove();
    // The PnP manager's plug-in; returns the START status (or AddDevice's).
    NTSTATUS Plug();
    // The instrument is pulled out: the bus fails what it holds, the PnP
    // manager sends SURPRISE_REMOVAL (REMOVE follows when no handle is open).
    void Unplug();
    // A device power request through the power manager, waited for.
    NTSTATUS RequestPower(UCHAR minor, DEVICE_POWER_STATE state);

    LoadedDriver& driver() { return driver_; }
    emu::usb::Bus& bus() { return bus_; }
    emu::usb::UsbDevice& usb() { return *usb_; }
    PDEVICE_OBJECT pdo() const { return usb_->pdo(); }
    // The driver's device once AddDevice (or the plug-in) has returned; null
    // once it is removed.
    PDEVICE_OBJECT fdo() const;
    PDEVICE_EXTENSION extension() const { return static_cast<PDEVICE_EXTENSION>(fdo()->DeviceExtension); }
    emu::PnpManager& pnp() { return system_.pnp(); }
    emu::NodeId node() const { return node_; }
    std::u16string portName() const { return system_.pnp().Info(node_).portName; }

private:
    emu::System& system_;
    LoadedDriver& driver_;
    emu::usb::Bus bus_;
    emu::usb::UsbDevice* usb_ = nullptr;
    bool added_ = false;    // by hand, and not removed yet
    bool plugged_ = false;  // through the PnP manager
    emu::NodeId node_ = 0;
};

}  // namespace tesmo::test
