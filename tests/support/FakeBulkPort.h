// The bus side of an instrument, for testing instruments alone: records every
// packet pushed, and counts pushes that arrive after the test declared the
// instrument unplugged.
//
// Thread-safe: instruments push from the bus thread, clock timers and the test
// thread. The push hook runs on the pushing thread without the port's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "emu/Clock.h"
#include "usb/Instrument.h"

namespace tesmo::test {

class FakeBulkPort final : public emu::usb::BulkPort {
public:
    FakeBulkPort(emu::Clock& clock, std::uint16_t packetSize) : clock_(clock), packetSize_(packetSize) {}

    std::uint16_t InPacketSize() const override { return packetSize_; }
    void PushIn(emu::usb::InPacket packet) override;
    emu::Clock& clock() override { return clock_; }

    // From now on every push is a fault of the instrument.
    void MarkUnplugged();
    std::size_t PushesAfterUnplug() const;

    // Runs on every push, before the packet is recorded.
    void SetPushHook(std::function<void(const emu::usb::InPacket&)> hook);

    std::vector<emu::usb::InPacket> Packets() const;
    std::size_t PacketCount() const;
    // The sizes of the data packets, in order (failures excluded).
    std::vector<std::size_t> PacketSizes() const;
    // All data bytes, in order.
    std::vector<std::uint8_t> Bytes() const;
    // The data as the host's transfers would see it: each message ends at a
    // short (possibly empty) packet; bytes after the last one are left out.
    std::vector<std::string> Messages() const;
    bool WaitForPackets(std::size_t count);

private:
    emu::Clock& clock_;
    const std::uint16_t packetSize_;
    mutable std::mutex mutex_;
    std::vector<emu::usb::InPacket> packets_;
    bool unplugged_ = false;
    std::size_t pushesAfterUnplug_ = 0;
    std::function<void(const emu::usb::InPacket&)> hook_;
};

inline std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

}  // namespace tesmo::test
