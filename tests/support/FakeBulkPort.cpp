#include "FakeBulkPort.h"

#include <utility>

#include "emu/Threads.h"

namespace tesmo::test {

void FakeBulkPort::PushIn(emu::usb::InPacket packet)
{
    std::function<void(const emu::usb::InPacket&)> hook;
    {
        std::lock_guard lock(mutex_);
        hook = hook_;
    }
    if (hook) hook(packet);
    {
        std::lock_guard lock(mutex_);
        if (unplugged_) ++pushesAfterUnplug_;
        packets_.push_back(std::move(packet));
    }
    emu::NotifyStateChanged();
}

void FakeBulkPort::MarkUnplugged()
{
    std::lock_guard lock(mutex_);
    unplugged_ = true;
}

std::size_t FakeBulkPort::PushesAfterUnplug() const
{
    std::lock_guard lock(mutex_);
    return pushesAfterUnplug_;
}

void FakeBulkPort::SetPushHook(std::function<void(const emu::usb::InPacket&)> hook)
{
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

std::vector<emu::usb::InPacket> FakeBulkPort::Packets() const
{
    std::lock_guard lock(mutex_);
    return packets_;
}

std::size_t FakeBulkPort::PacketCount() const
{
    std::lock_guard lock(mutex_);
    return packets_.size();
}

std::vector<std::size_t> FakeBulkPort::PacketSizes() const
{
    std::vector<std::size_t> sizes;
    for (const auto& packet : Packets())
        if (!packet.failed) sizes.push_back(packet.data.size());
    return sizes;
}

std::vector<std::uint8_t> FakeBulkPort::Bytes() const
{
    std::vector<std::uint8_t> bytes;
    for (const auto& packet : Packets()) bytes.insert(bytes.end(), packet.data.begin(), packet.data.end());
    return bytes;
}

std::vector<std::string> FakeBulkPort::Messages() const
{
    std::vector<std::string> messages;
    std::string current;
    for (const auto& packet : Packets()) {
        if (packet.failed) continue;
        current.append(packet.data.begin(), packet.data.end());
        if (packet.data.size() < packetSize_) messages.push_back(std::exchange(current, {}));
    }
    return messages;
}

bool FakeBulkPort::WaitForPackets(std::size_t count)
{
    return emu::WaitUntil([&] { return PacketCount() >= count; }, std::to_string(count) + " IN packets");
}

}  // namespace tesmo::test
