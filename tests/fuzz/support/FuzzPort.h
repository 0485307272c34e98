// A COM port on a scripted instrument in one input's system, and every
// request the input sends to it.
//
// Requests go straight to the driver's device object, as the serial front
// end's tests send them, each on an application thread of its own: the
// target waits until the dispatch routine has returned, so that a request the
// driver holds does not stop the input. The clock moves by itself whenever
// every thread waits (FuzzSystem), so that time limits pass. Each request is
// kept until it completes and is then held to what the caller's buffer
// allows: no more information than its output room, no byte written past the
// buffer. Settle waits for all of them.
//
// Threads: the input's thread; the requests run on threads of their own.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "DeviceStack.h"
#include "FuzzSystem.h"
#include "PortRequest.h"
#include "instrument/ScriptedDevice.h"
#include "tesmo/windows.h"

namespace tesmo::fuzz {

using test::Bytes;

class FuzzPort {
public:
    explicit FuzzPort(FuzzSystem& system, emu::usb::DeviceConfig config = {});
    // Settles the requests, closes the handle, and removes the device.
    ~FuzzPort();
    FuzzPort(const FuzzPort&) = delete;
    FuzzPort& operator=(const FuzzPort&) = delete;

    // The PnP manager's plug-in; the START status.
    NTSTATUS Plug();

    emu::usb::ScriptedDevice& instrument() { return instrument_; }
    test::DeviceStack& stack() { return *stack_; }
    emu::Clock& clock() { return system_.system().clock(); }
    // The driver's device, null once it is removed.
    PDEVICE_OBJECT fdo() const { return stack_->fdo(); }

    // Each returns the request once its dispatch routine has returned; null
    // when the device is gone.
    test::PortRequest* Control(ULONG code, const Bytes& input, ULONG outputLength);
    test::PortRequest* Read(ULONG length);
    test::PortRequest* Write(const Bytes& bytes);

    // The nth call at the site from now on fails: a pool block, an IRP or a
    // work item of the driver's. The target's own IRPs are not counted.
    void FailNth(emu::FaultSite site, std::uint64_t n);

    // Waits until every request sent has completed.
    void Settle();

    // A handle on the port through the Win32 layer, as an application keeps
    // it (it keeps a surprise-removed device in the tree).
    bool OpenHandle();
    void CloseHandle();
    // An I/O control through the handle, as an application sends it: the I/O
    // manager builds the request with the handle's file, and the call waits
    // for it (so not while the port holds requests). Whether it succeeded.
    bool DeviceControl(ULONG code, const Bytes& input, ULONG outputLength);

private:
    struct Sent {
        std::unique_ptr<test::PortRequest> request;
        std::size_t room;          // the system buffer's size
        ULONG_PTR informationMax;  // what the request may report
        std::thread thread;        // the sender
    };
    test::PortRequest* Dispatch(Sent sent);
    // Builds one of the target's requests past an armed IRP failure.
    std::unique_ptr<test::PortRequest> Build(const std::function<std::unique_ptr<test::PortRequest>()>& build);

    FuzzSystem& system_;
    emu::usb::ScriptedDevice instrument_;
    std::optional<test::DeviceStack> stack_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::vector<Sent> sent_;
    std::uint64_t irpFailAt_ = 0;  // the armed IRP failure, counted from its arming; 0: none
};

}  // namespace tesmo::fuzz
