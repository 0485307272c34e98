// The path an application takes to the instrument: the driver image, the USB
// bus with the instrument plugged in, and the PnP manager's plug-in (AddDevice,
// the port installer's PortName, START), so that the instrument is a started
// COM port. Teardown removes what is left (a disable when the device is still
// there, the deferred removal after an unplug), reaps the bus's PDOs and
// unloads the driver.
#pragma once

#include <memory>

#include "DeviceExtension.h"
#include "LoadedDriver.h"
#include "emu/Pnp.h"
#include "instrument/Instrument.h"
#include "usb/Bus.h"
#include "usb/UsbDevice.h"

namespace tesmo::test {

class PortStack {
public:
    PortStack(emu::System& system, emu::usb::Instrument& instrument, emu::usb::DeviceConfig config = {});
    ~PortStack();
    PortStack(const PortStack&) = delete;
    PortStack& operator=(const PortStack&) = delete;

    // The PnP manager's plug-in; returns the START status (or AddDevice's).
    NTSTATUS Plug();
    // The instrument is pulled out: the bus fails what it holds, the PnP
    // manager sends SURPRISE_REMOVAL (REMOVE follows when no handle is open).
    void Unplug();

    emu::NodeId node() const { return node_; }
    PDEVICE_OBJECT fdo() const;
    PDEVICE_EXTENSION extension() const { return static_cast<PDEVICE_EXTENSION>(fdo()->DeviceExtension); }
    std::u16string portName() const;
    LoadedDriver& driver() { return driver_; }
    emu::usb::Bus& bus() { return bus_; }
    emu::usb::UsbDevice& usb() { return *usb_; }
    emu::PnpManager& pnp() { return system_.pnp(); }

private:
    emu::System& system_;
    LoadedDriver driver_;
    emu::usb::Bus bus_;
    emu::usb::UsbDevice* usb_ = nullptr;
    emu::NodeId node_ = 0;
    bool plugged_ = false;
};

}  // namespace tesmo::test
