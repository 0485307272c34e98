// Cutting one message of the instrument (an answer, a block of stream data)
// into bulk IN packets.
//
// Pure functions: any thread, no locks.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "usb/Instrument.h"

namespace emu::usb {

// Packets of `packetSize` bytes, the last one shorter. A message that fills
// its last packet exactly (the empty message included) is followed by a
// zero-length packet: a short packet is how the host sees where a message
// ends, and without it the host's transfer would wait for the next message.
std::vector<InPacket> CutMessage(std::span<const std::uint8_t> message, std::uint16_t packetSize);
std::vector<InPacket> CutMessage(std::string_view message, std::uint16_t packetSize);

// Packets of `packetSize` bytes for stream data that goes on: the last one
// short only if the bytes run out mid-packet, and never a zero-length packet.
std::vector<InPacket> CutStream(std::span<const std::uint8_t> bytes, std::uint16_t packetSize);

}  // namespace emu::usb
