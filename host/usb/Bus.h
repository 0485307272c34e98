// The emulated USB bus driver: one driver object whose physical device
// objects stand for the devices plugged into the bus. Drivers above a PDO
// reach it with IOCTL_INTERNAL_USB_SUBMIT_URB, IOCTL_INTERNAL_USB_GET_PORT_STATUS,
// IOCTL_INTERNAL_USB_RESET_PORT and the PnP requests a bus driver answers.
//
// One bus per emulated system (its PDOs are named \Device\USBPDO-<port>).
// Plug, ReapRemovedDevices, Release and destruction: PASSIVE_LEVEL on the
// thread that owns the bus (a test's thread, the PnP manager). Each device is
// served by its own bus thread (see UsbDevice.h).
//
// A device plugged in takes the lowest port no device holds, as a cable goes
// into a free socket of the hub. The port is part of the device's instance
// path, so a device plugged into the port of one released before takes over
// what the system keeps for that instance (its COM name, its registry key).
#pragma once

#include <memory>
#include <vector>

#include "emu/System.h"
#include "usb/UsbDevice.h"

namespace emu::usb {

class UsbCapture;

namespace detail {
class FrameSchedule;
struct CaptureSlot;
}  // namespace detail

class Bus {
public:
    explicit Bus(emu::System& system);
    // Unplugs what is still plugged, deletes the remaining PDOs and unloads
    // the bus driver. Drivers above the PDOs must be gone by then.
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    PDRIVER_OBJECT driver() const { return driver_; }

    // Plugs a device into the lowest free port: creates its PDO, starts its
    // bus thread and connects the instrument (which must outlive the device's
    // time on the bus).
    UsbDevice& Plug(Instrument& instrument, DeviceConfig config = {});

    // A removal that arrives while the function driver is still attached
    // (it detaches after passing the request down) leaves the PDO of an
    // unplugged device to be deleted once the stack below it is free; this
    // deletes such PDOs. The PnP manager calls it after each removal.
    void ReapRemovedDevices();

    // Takes a device that has left for good off the bus: once its PDO has
    // been deleted (an unplugged device after its removal, see above), its
    // bus thread stops, the device is destroyed and its port is free for the
    // next Plug; its instrument may go after this. A bus that lives long
    // keeps only the devices still on it. False, changing nothing, while the
    // PDO is still there.
    bool Release(UsbDevice& device);

    std::vector<UsbDevice*> devices() const;

    // Writes every URB its devices see to `capture` from now on (null:
    // stops); the capture is closed when replaced, stopped or the bus goes.
    void SetCapture(std::unique_ptr<UsbCapture> capture);

private:
    emu::System& system_;
    PDRIVER_OBJECT driver_ = nullptr;
    // The frames' bandwidth, shared by the devices' bulk endpoints; outlives them.
    std::unique_ptr<detail::FrameSchedule> frames_;
    std::unique_ptr<detail::CaptureSlot> capture_;  // outlives the devices
    std::vector<std::unique_ptr<UsbDevice>> devices_;
};

}  // namespace emu::usb
