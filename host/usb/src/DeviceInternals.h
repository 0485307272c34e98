// What the bus keeps per pipe and per transfer, and the helpers that finish
// requests. Private to the bus.
//
// Pipe and Transfer records are guarded by the owning device's mutex.
// Completions are carried out after that mutex is released.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ConfigurationModel.h"
#include "emu/Clock.h"
#include "emu_ntddk.h"
#include "usb/UsbCapture.h"

namespace emu::usb {
class UsbDevice;
}

namespace emu::usb::detail {

// The bus's capture, if any, shared by its devices: a device takes a
// reference for each record, so that the capture may be replaced or stopped
// while a request is on its way.
struct CaptureSlot {
    std::mutex mutex;
    std::shared_ptr<UsbCapture> capture;

    std::shared_ptr<UsbCapture> Get()
    {
        std::lock_guard lock(mutex);
        return capture;
    }
};

// A PDO's device extension: the device the PDO stands for.
struct PdoExtension {
    UsbDevice* device = nullptr;
};

struct Pipe {
    USBD_PIPE_HANDLE handle = nullptr;
    EndpointModel endpoint;
    bool open = true;     // closed pipes stay allocated but are no longer found by handle
    bool halted = false;  // stalled until a reset
};

// Whether the device still exists, for clock timers that may fire while it is
// being destroyed: a timer callback holds the mutex while it uses the device.
struct Liveness {
    std::mutex mutex;
    bool alive = true;
};

// A bulk or interrupt transfer the bus holds: an IN transfer waiting for
// packets, or any transfer waiting for its frame. It carries a cancel routine
// the whole time it is in the device's list.
struct Transfer {
    enum class State { Waiting, Ready };

    std::uint64_t id = 0;
    PIRP irp = nullptr;
    _URB_BULK_OR_INTERRUPT_TRANSFER* urb = nullptr;
    Pipe* pipe = nullptr;
    State state = State::Waiting;
    ULONG moved = 0;  // bytes received (IN) or sent (OUT) so far
    USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
    NTSTATUS status = STATUS_PENDING;
    emu::Time due = 0;           // frame timing: the end of the frame that carries its last packet so far
    std::uint64_t unbooked = 0;  // frame timing: packets taken but not yet given a frame
    bool cancelling = false;     // its cancel routine is on the way; the cancel routine completes it
};

// Requests finished under the device's mutex and completed once it is
// released: declare before the lock so that it runs after the unlock.
class Completions {
public:
    Completions() = default;
    Completions(const Completions&) = delete;
    Completions& operator=(const Completions&) = delete;
    ~Completions();

    // A URB request: the URB's status is written, then the IRP completes.
    void Add(PIRP irp, PURB urb, USBD_STATUS usbdStatus, NTSTATUS status);
    // A transfer: its byte count is written as well.
    void Add(const Transfer& transfer);

private:
    struct Entry {
        PIRP irp;
        PURB urb;
        USBD_STATUS usbdStatus;
        NTSTATUS status;
        bool setLength;
        ULONG length;
    };
    std::vector<Entry> entries_;
};

// Completes an IRP at DISPATCH_LEVEL, as a host controller's DPC would.
void CompleteAtDispatch(PIRP irp, NTSTATUS status);
// The NTSTATUS a failed URB completes with.
NTSTATUS StatusForUsbd(USBD_STATUS usbdStatus);
// Claims a held IRP back from cancellation; false when its cancel routine
// has already been taken (the cancel routine will complete it).
bool ClaimFromCancel(PIRP irp);
void ReportNotModelled(PIRP irp, const std::string& what);

// The bus driver's cancel routine for transfers it holds.
VOID NTAPI CancelTransfer(PDEVICE_OBJECT pdo, PIRP irp);

}  // namespace emu::usb::detail
