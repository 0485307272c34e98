// The Telnet framing a COM-port-control client speaks: data bytes with IAC
// doubled, option negotiation (WILL, WONT, DO, DONT) and subnegotiations
// (IAC SB option ... IAC SE). A decoder that takes the byte stream in pieces
// of any size and an encoder for the other way. Until the peer has said
// WILL BINARY its data is the network virtual terminal's: CR NUL stands for
// a bare carriage return and becomes CR (CR LF, the end of a line, stays
// as it is), as a plain Telnet client sends Enter. A subnegotiation longer than
// kMaxSubnegotiation is dropped whole, so a client that never ends one does
// not grow the server's memory.
//
// Pure: no I/O, no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

namespace tesmo::sim::telnet {

constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr std::uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;

using Bytes = std::vector<std::uint8_t>;

struct Data {
    Bytes bytes;
};
struct Negotiation {
    std::uint8_t verb;  // kWill, kWont, kDo, kDont
    std::uint8_t option;
};
struct Subnegotiation {
    std::uint8_t option;
    Bytes payload;  // unescaped
};
using Event = std::variant<Data, Negotiation, Subnegotiation>;

class Decoder {
public:
    static constexpr std::size_t kMaxSubnegotiation = 512;

    // The events the bytes complete, in order (data runs merged).
    std::vector<Event> Feed(std::span<const std::uint8_t> bytes);
    // The peer sends binary data from now on (it said WILL BINARY), or no
    // longer (WONT BINARY).
    void SetPeerBinary(bool binary) { peerBinary_ = binary; }

private:
    void Step(std::uint8_t byte, std::vector<Event>& events);
    void Keep(std::uint8_t byte);  // one more payload byte, within the limit

    enum class State { Data, Iac, Verb, Sb, SbOption, SbIac } state_ = State::Data;
    std::uint8_t verb_ = 0;
    Subnegotiation sub_;
    bool overflowed_ = false;
    bool peerBinary_ = false;
    bool afterCr_ = false;  // the last data byte was a CR
};

// Data with every IAC doubled.
Bytes EscapeData(std::span<const std::uint8_t> bytes);
Bytes Negotiate(std::uint8_t verb, std::uint8_t option);
Bytes Subnegotiate(std::uint8_t option, std::span<const std::uint8_t> payload);

}  // namespace tesmo::sim::telnet
