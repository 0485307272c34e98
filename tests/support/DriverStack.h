// A device of the driver under test on the emulated USB bus, built the way
// the PnP manager builds it for unit tests that call the driver's routines
// directly: the driver image, the bus with one instrument plugged in, and the
// driver's AddDevice run on the instrument's PDO. Removing it sends the REMOVE
// request that tears the stack down.
#pragma once

#include <memory>

#include "DeviceExtension.h"
#include "LoadedDriver.h"
#include "instrument/Instrument.h"
#include "usb/Bus.h"
#include "usb/UsbDevice.h"

namespace tesmo::test {

class DriverStack {
public:
    DriverStack(emu::System& system, emu::usb::Instrument& instrument, emu::usb::DeviceConfig config = {});
    ~DriverStack();  // removes the device if it still exists, then unloads
    DriverStack(const DriverStack&) = delete;
    DriverStack& operator=(const DriverStack&) = delete;

    // Runs the driver's AddDevice on the PDO; on success the FDO is known.
    NTSTATUS AddDevice();
    // Sends IRP_MN_REMOVE_DEVICE to the stack (the device must exist).
    NTSTATUS Remove();

    LoadedDriver& driver() { return driver_; }
    emu::usb::Bus& bus() { return bus_; }
    emu::usb::UsbDevice& usb() { return *usb_; }
    PDEVICE_OBJECT pdo() const;
    PDEVICE_OBJECT fdo() const { return fdo_; }
    PDEVICE_EXTENSION extension() const { return static_cast<PDEVICE_EXTENSION>(fdo_->DeviceExtension); }

private:
    LoadedDriver driver_;
    emu::usb::Bus bus_;
    emu::usb::UsbDevice* usb_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

}  // namespace tesmo::test
