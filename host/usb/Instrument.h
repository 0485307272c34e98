// The contract between the emulated USB bus and the simulated instrument
// behind it: what the bus delivers from the bulk OUT pipe, and how the
// instrument makes packets available on the bulk IN pipe.
//
// Threading: the bus calls an instrument on its bus thread (OnBulkOut,
// OnInWanted, OnPipeReset) or on the thread that plugs and unplugs it
// (Connect, Disconnect). An instrument may call BulkPort::PushIn from any
// thread, including from inside those calls and from clock timers; it must not
// call PushIn after Disconnect has returned.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace emu {
class Clock;
}

namespace emu::usb {

// One transaction on the bulk IN pipe as the device answers it: a data packet
// of at most the pipe's packet size (a shorter one ends the transfer), or an
// error that fails the transfer (for example a stall).
struct InPacket {
    std::vector<std::uint8_t> data;
    bool failed = false;
    std::int32_t usbdStatus = 0;  // USBD_STATUS_* when failed

    static InPacket Data(std::vector<std::uint8_t> bytes) { return InPacket{std::move(bytes), false, 0}; }
    static InPacket Failure(std::int32_t usbdStatus) { return InPacket{{}, true, usbdStatus}; }
};

// The bus side of an instrument's bulk pipes, implemented by the bus.
class BulkPort {
public:
    virtual ~BulkPort() = default;
    // The packet size of the bulk IN pipe (wMaxPacketSize of endpoint 0x82).
    virtual std::uint16_t InPacketSize() const = 0;
    // Queues a packet on the bulk IN pipe; waiting transfers take it in order.
    virtual void PushIn(InPacket packet) = 0;
    // The emulated clock, for answers with latency and timed streams.
    virtual emu::Clock& clock() = 0;
};

// A simulated device behind the bus.
class Instrument {
public:
    virtual ~Instrument() = default;
    // Plugged in: from now on the instrument may push IN packets.
    virtual void Connect(BulkPort& port) = 0;
    // Unplugged: after this returns the instrument pushes nothing more.
    virtual void Disconnect() = 0;
    // The bytes of one bulk OUT transfer. Returns the USBD status the
    // transfer completes with (USBD_STATUS_SUCCESS = 0 when accepted).
    virtual std::int32_t OnBulkOut(std::span<const std::uint8_t> data) = 0;
    // An IN transfer waits and nothing is queued: a source that produces on
    // demand pushes now.
    virtual void OnInWanted() {}
    // Before OnInWanted, when nothing is queued: a source that produces on
    // demand may write whole packets straight into the transfer's room (a
    // multiple of the packet size) instead of pushing them, and returns the
    // bytes written (a multiple of the packet size; 0: push as usual). Called
    // with the bus's device lock held: it must not call the port.
    virtual std::size_t FillInDirect(std::span<std::uint8_t> room)
    {
        (void)room;
        return 0;
    }
    // The host reset or aborted a pipe (endpoint address as in the descriptor).
    virtual void OnPipeReset(std::uint8_t endpointAddress) { (void)endpointAddress; }
};

}  // namespace emu::usb
