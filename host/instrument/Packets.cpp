#include "instrument/Packets.h"

#include "instrument/Misuse.h"

namespace emu::usb {

std::vector<InPacket> CutStream(std::span<const std::uint8_t> bytes, std::uint16_t packetSize)
{
    std::vector<InPacket> packets;
    if (packetSize == 0) {
        ReportInstrumentMisuse("the bus reports an IN packet size of 0");
        return packets;
    }
    packets.reserve((bytes.size() + packetSize - 1) / packetSize);
    for (std::size_t offset = 0; offset < bytes.size(); offset += packetSize) {
        auto piece = bytes.subspan(offset, std::min<std::size_t>(packetSize, bytes.size() - offset));
        packets.push_back(InPacket::Data({piece.begin(), piece.end()}));
    }
    return packets;
}

std::vector<InPacket> CutMessage(std::span<const std::uint8_t> message, std::uint16_t packetSize)
{
    auto packets = CutStream(message, packetSize);
    if (packetSize != 0 && message.size() % packetSize == 0) packets.push_back(InPacket::Data({}));
    return packets;
}

std::vector<InPacket> CutMessage(std::string_view message, std::uint16_t packetSize)
{
    return CutMessage(std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()), packetSize);
}

}  // namespace emu::usb
