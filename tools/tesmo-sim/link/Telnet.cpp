#include "link/Telnet.h"

namespace tesmo::sim::telnet {

std::vector<Event> Decoder::Feed(std::span<const std::uint8_t> bytes)
{
    std::vector<Event> events;
    for (std::uint8_t byte : bytes) Step(byte, events);
    return events;
}

void Decoder::Step(std::uint8_t byte, std::vector<Event>& events)
{
    auto data = [&events]() -> Bytes& {
        if (events.empty() || !std::holds_alternative<Data>(events.back())) events.emplace_back(Data{});
        return std::get<Data>(events.back()).bytes;
    };
    switch (state_) {
    case State::Data:
        if (byte == kIac) {
            state_ = State::Iac;
            break;
        }
        if (!(afterCr_ && byte == 0 && !peerBinary_)) data().push_back(byte);
        afterCr_ = byte == '\r';
        break;
    case State::Iac:
        if (byte == kIac) {
            data().push_back(kIac);
            state_ = State::Data;
        } else if (byte == kSb) {
            state_ = State::SbOption;
        } else if (byte >= kWill && byte <= kDont) {
            verb_ = byte;
            state_ = State::Verb;
        } else {
            state_ = State::Data;  // NOP, GA and the like carry nothing here
        }
        break;
    case State::Verb:
        events.emplace_back(Negotiation{verb_, byte});
        state_ = State::Data;
        break;
    case State::SbOption:
        // IAC where the option belongs: not a subnegotiation but a command.
        state_ = byte == kIac ? State::Iac : State::Sb;
        sub_ = Subnegotiation{byte, {}};
        overflowed_ = false;
        break;
    case State::Sb:
        if (byte == kIac) state_ = State::SbIac;
        else Keep(byte);
        break;
    case State::SbIac:
        if (byte == kSe) {
            if (!overflowed_) events.emplace_back(std::move(sub_));
            sub_ = {};
            state_ = State::Data;
        } else if (byte == kIac) {
            Keep(kIac);  // IAC IAC inside: one 255
            state_ = State::Sb;
        } else {
            // A client that forgot IAC SE: the subnegotiation is dropped
            // rather than allowed to swallow what follows, and the byte is
            // the command it began.
            sub_ = {};
            state_ = State::Iac;
            Step(byte, events);
        }
        break;
    }
}

void Decoder::Keep(std::uint8_t byte)
{
    if (sub_.payload.size() < kMaxSubnegotiation) sub_.payload.push_back(byte);
    else overflowed_ = true;
}

Bytes EscapeData(std::span<const std::uint8_t> bytes)
{
    Bytes escaped;
    escaped.reserve(bytes.size());
    for (std::uint8_t byte : bytes) {
        escaped.push_back(byte);
        if (byte == kIac) escaped.push_back(kIac);
    }
    return escaped;
}

Bytes Negotiate(std::uint8_t verb, std::uint8_t option) { return {kIac, verb, option}; }

Bytes Subnegotiate(std::uint8_t option, std::span<const std::uint8_t> payload)
{
    Bytes message{kIac, kSb, option};
    Bytes body = EscapeData(payload);
    message.insert(message.end(), body.begin(), body.end());
    message.push_back(kIac);
    message.push_back(kSe);
    return message;
}

}  // namespace tesmo::sim::telnet
