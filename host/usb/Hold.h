// Hold points: a test arms a named point on a device's bus thread, waits
// until the thread stands there, does something (cancels, unplugs, aborts)
// and releases it. Each race then runs in one chosen order.
//
// An armed hold catches the bus thread once, the first time it reaches a
// matching point; later passes go through. Thread-safe. The bus thread waits
// at PASSIVE_LEVEL holding no lock of the bus, so the test may call anything
// while it is held, including into the same device.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "emu_ntddk.h"

namespace emu::usb {

enum class HoldPoint {
    UrbReceived,   // the bus thread took a URB of the given function; nothing done yet
    InDataReady,   // an IN transfer's data is in its buffer; the transfer can still be cancelled
    InClaimed,     // the bus took an IN transfer back from cancellation; before IoCompleteRequest
    OutDelivered,  // an OUT transfer's bytes reached the instrument; before IoCompleteRequest
    PowerReceived,  // the bus thread took a set or query power request (the filter: its minor); nothing done yet
};

const char* HoldPointName(HoldPoint point);

class Hold {
public:
    Hold(HoldPoint point, std::optional<USHORT> urbFunction);
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    HoldPoint point() const { return point_; }
    // Blocks the calling (test) thread until the bus thread is held here.
    void WaitUntilHeld();
    bool held() const;
    // The bus thread was held and has been released.
    bool passed() const;
    // Released (or disarmed): the hold catches nothing any more.
    bool released() const;
    // The IRP the bus thread is holding (valid while held).
    PIRP irp() const;
    // Lets the bus thread go on; before it arrives, disarms the hold.
    void Release();

    // ---- bus side ----
    // Claims the hold for this pass if it is armed and matches.
    bool TryCatch(HoldPoint point, USHORT urbFunction, PIRP irp);
    // Blocks the bus thread until the test releases it.
    void Block();

private:
    const HoldPoint point_;
    const std::optional<USHORT> urbFunction_;
    mutable std::mutex mutex_;
    bool caught_ = false;
    bool held_ = false;
    bool released_ = false;
    PIRP irp_ = nullptr;
    KEVENT go_;
};

}  // namespace emu::usb
