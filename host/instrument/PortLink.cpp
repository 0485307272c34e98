#include "instrument/PortLink.h"

#include "emu/Threads.h"

namespace emu::usb {

PortLink::~PortLink() { Close(); }

void PortLink::Open(BulkPort& port)
{
    std::lock_guard lock(mutex_);
    port_ = &port;
    open_ = true;
}

void PortLink::Close()
{
    std::unique_lock lock(mutex_);
    open_ = false;
    queue_.clear();
    auto self = std::this_thread::get_id();
    if (deliverer_ && *deliverer_ != self) {
        ++closersWaiting_;
        emu::NotifyStateChanged();
        delivered_.wait(lock, [&] { return !deliverer_; });
        --closersWaiting_;
    }
    port_ = nullptr;
}

bool PortLink::IsOpen() const
{
    std::lock_guard lock(mutex_);
    return open_;
}

bool PortLink::Post(InPacket packet)
{
    std::lock_guard lock(mutex_);
    if (!open_) return false;
    queue_.push_back(std::move(packet));
    return true;
}

bool PortLink::Post(std::vector<InPacket> packets)
{
    std::lock_guard lock(mutex_);
    if (!open_) return false;
    for (auto& packet : packets) queue_.push_back(std::move(packet));
    return true;
}

void PortLink::Flush()
{
    std::unique_lock lock(mutex_);
    if (deliverer_) return;  // the delivering thread takes these packets too
    deliverer_ = std::this_thread::get_id();
    while (open_ && !queue_.empty()) {
        InPacket packet = std::move(queue_.front());
        queue_.pop_front();
        BulkPort* port = port_;
        lock.unlock();
        {
            emu::NoPreemption inside;  // Close waits for the deliverer
            port->PushIn(std::move(packet));
        }
        lock.lock();
    }
    deliverer_.reset();
    // Notified under the lock: Close, once it sees no deliverer, may let the
    // link be destroyed before an unlocked notify would have reached it.
    delivered_.notify_all();
}

bool PortLink::Idle() const
{
    std::lock_guard lock(mutex_);
    return open_ && queue_.empty() && !deliverer_;
}

std::uint16_t PortLink::PacketSize() const
{
    std::lock_guard lock(mutex_);
    return open_ ? port_->InPacketSize() : 0;
}

std::size_t PortLink::ClosersWaiting() const
{
    std::lock_guard lock(mutex_);
    return closersWaiting_;
}

}  // namespace emu::usb
