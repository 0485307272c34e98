// The fixture of the serial front end's tests: a COM port started through the
// PnP manager on a scripted instrument (64-byte IN packets unless a test
// picks other descriptors), with requests sent straight to the driver's
// device object. Test bodies script the instrument, send requests and look at
// the device record; set-up and teardown (disable, leak check) live in the
// rungs below.
//
// Threads: the helpers run on the test's thread at PASSIVE_LEVEL; requests
// the driver blocks in run on threads of their own (StartRead). No locks.
#pragma once

#include <memory>
#include <string>

#include "DeviceTest.h"
#include "PortRequest.h"
#include "Win32Handles.h"

namespace tesmo::test {

class SerialPortTest : public StartedPortOf<emu::usb::ScriptedDevice>, protected Win32Handles {
protected:
    // Requests, sent on the test's thread (the driver must not block).
    std::unique_ptr<PortRequest> Read(ULONG length);
    std::unique_ptr<PortRequest> Write(const Bytes& bytes);
    std::unique_ptr<PortRequest> Control(ULONG code, const Bytes& input = {}, ULONG outputLength = 0);
    // A read the driver will block in, on a thread of its own.
    std::unique_ptr<PortRequest> StartRead(ULONG length);

    // IOCTL_SERIAL_SET_TIMEOUTS with the read time-outs; must succeed.
    void SetReadTimeouts(ULONG multiplier, ULONG constant, ULONG interval = 0);
    // Parks `packet` in the reassembly buffer, all of it waiting at offset 0
    // (a read of 0 bytes fetches one packet and delivers nothing).
    void LeaveWaiting(const std::string& packet);
    // The instrument is pulled out while a handle keeps the port: the device
    // is surprise-removed, failing requests, and not removed yet.
    void UnplugHeldOpen();
    // Waits until `count` threads wait with a deadline on the emulated clock.
    void WaitForTimedWaiters(std::size_t count, const std::string& who);
    // Waits until the request, started on its own thread, waits with a
    // deadline; false when it completed instead.
    bool WaitsOnTheClock(PortRequest& request);
    // Moves the clock to `deadline` after now; true when no thread waits with
    // a deadline any more. When one still waits, moves on to its deadline so
    // that the test can end.
    bool EveryWaitEndsAfter(emu::Time deadline);
    // Bulk URBs the bus has taken from the driver so far.
    unsigned BulkTransfers();
};

}  // namespace tesmo::test
