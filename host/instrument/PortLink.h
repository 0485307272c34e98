// An instrument's hold on the bus while it is plugged in: the IN packets it
// has decided to send, handed to BulkPort::PushIn strictly in the order they
// were posted, and a gate that shuts for good when the instrument is
// unplugged.
//
// Thread-safe. Post never calls out, so an instrument posts under its own lock
// and thereby fixes the order of its packets; Flush calls PushIn and must be
// called with no instrument lock held, because the bus may call back into the
// instrument from PushIn. Only one thread delivers at a time: a Flush that
// finds another delivery in progress leaves its packets to it, and a Flush
// from inside PushIn (a callback on the delivering thread) returns at once and
// its packets follow when PushIn returns.
//
// Close waits until a PushIn in progress on another thread has returned, so
// after Close nothing reaches the port; the caller of Close must hold nothing
// that such a PushIn needs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "usb/Instrument.h"

namespace emu::usb {

class PortLink {
public:
    PortLink() = default;
    ~PortLink();
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    void Open(BulkPort& port);
    // Shuts the gate, drops what is not yet delivered and waits for a delivery
    // on another thread to finish. Idempotent.
    void Close();
    bool IsOpen() const;

    // Queues packets for delivery; false (and nothing queued) when closed.
    bool Post(InPacket packet);
    bool Post(std::vector<InPacket> packets);
    // Delivers what is queued, unless another delivery is in progress.
    void Flush();

    // Open with nothing queued or on its way to the port: a packet produced
    // now by other means cannot overtake one posted earlier.
    bool Idle() const;

    // The open port's IN packet size; 0 when closed.
    std::uint16_t PacketSize() const;

    // Closers currently waiting for a delivery to finish (for race tests).
    std::size_t ClosersWaiting() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable delivered_;
    BulkPort* port_ = nullptr;
    bool open_ = false;
    std::deque<InPacket> queue_;
    std::optional<std::thread::id> deliverer_;
    std::size_t closersWaiting_ = 0;
};

}  // namespace emu::usb
