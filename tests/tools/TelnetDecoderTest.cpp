// The Telnet decoder of the COM-port-control server against byte streams
// written by hand: each stream's events as text, fed whole and cut at every
// place a network read may cut it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "link/Telnet.h"

namespace tesmo::sim::telnet {
namespace {

struct Case {
    const char* what;
    Bytes stream;
    std::string events;  // as Describe writes them
};

std::string Hex(const Bytes& bytes)
{
    std::string text;
    for (auto byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, " %02x", byte);
        text += digits;
    }
    return text;
}

// "data 61 62 | do 2c | sb 2c: 01" with the data of consecutive feeds joined.
std::string Describe(const std::vector<Event>& events)
{
    std::string text;
    for (const auto& event : events) {
        if (!text.empty()) text += " | ";
        if (auto* data = std::get_if<Data>(&event)) {
            text += "data" + Hex(data->bytes);
        } else if (auto* negotiation = std::get_if<Negotiation>(&event)) {
            static const char* const verbs[] = {"will", "wont", "do", "dont"};
            text += std::string(verbs[negotiation->verb - kWill]) + Hex({negotiation->option});
        } else {
            auto& sub = std::get<Subnegotiation>(event);
            text += "sb" + Hex({sub.option}) + ":" + Hex(sub.payload);
        }
    }
    return text;
}

// Feeds the stream in the given pieces and joins data events that only a
// cut between two feeds separated.
std::string DecodeInPieces(const Bytes& stream, const std::vector<std::size_t>& cuts)
{
    Decoder decoder;
    std::vector<Event> all;
    std::size_t from = 0;
    auto feed = [&](std::size_t to) {
        for (auto& event : decoder.Feed(std::span(stream).subspan(from, to - from))) {
            auto* data = std::get_if<Data>(&event);
            if (data && !all.empty() && std::holds_alternative<Data>(all.back())) {
                auto& joined = std::get<Data>(all.back()).bytes;
                joined.insert(joined.end(), data->bytes.begin(), data->bytes.end());
            } else {
                all.push_back(std::move(event));
            }
        }
        from = to;
    };
    for (auto cut : cuts) feed(cut);
    feed(stream.size());
    return Describe(all);
}

const std::vector<Case> kEscaping = {
    {"IAC IAC in data is one 255", {'a', kIac, kIac, 'b'}, "data 61 ff 62"},
    {"data that is only IACs", {kIac, kIac, kIac, kIac}, "data ff ff"},
    {"IAC IAC in a payload is one 255", {kIac, kSb, kComPort, 1, kIac, kIac, 0, kIac, kSe}, "sb 2c: 01 ff 00"},
};

const std::vector<Case> kNegotiations = {
    {"each verb",
     {kIac, kWill, 0, kIac, kWont, 3, kIac, kDo, 44, kIac, kDont, 1},
     "will 00 | wont 03 | do 2c | dont 01"},
    {"a baud-rate request between data",
     {'x', kIac, kSb, kComPort, 1, 0, 0, 0x4b, 0, kIac, kSe, 'y'},
     "data 78 | sb 2c: 01 00 00 4b 00 | data 79"},
    {"an empty payload", {kIac, kSb, kComPort, kIac, kSe}, "sb 2c:"},
    {"SE without IAC is payload", {kIac, kSb, kComPort, kSe, kIac, kSe}, "sb 2c: f0"},
};

const std::vector<Case> kMalformed = {
    {"NOP and GA vanish from the data", {'a', kIac, 241, 'b', kIac, 249, 'c'}, "data 61 62 63"},
    {"an unknown option is still reported", {kIac, kDo, 200}, "do c8"},
    {"a subnegotiation cut short by a command", {kIac, kSb, kComPort, 1, kIac, kWill, 3, 'z'}, "will 03 | data 7a"},
    {"IAC where the option belongs", {kIac, kSb, kIac, kIac, 'q'}, "data ff 71"},
    {"a stream that ends inside a command", {'a', kIac, kSb, kComPort, 5}, "data 61"},
};

// A client that has not gone binary sends the network virtual terminal's
// line ends: Enter as CR NUL (a bare carriage return) or CR LF.
const std::vector<Case> kLineEnds = {
    {"CR NUL is a carriage return", {'a', '\r', 0, 'b', '\r', 0}, "data 61 0d 62 0d"},
    {"CR LF stays the end of a line", {'a', '\r', '\n'}, "data 61 0d 0a"},
    {"a NUL not after CR stays", {0, 'a', 0}, "data 00 61 00"},
    {"CR CR NUL keeps both carriage returns", {'\r', '\r', 0}, "data 0d 0d"},
};

std::vector<Case> AllCases()
{
    std::vector<Case> all;
    for (auto* table : {&kEscaping, &kNegotiations, &kMalformed, &kLineEnds})
        all.insert(all.end(), table->begin(), table->end());
    return all;
}

void ExpectDecodes(const std::vector<Case>& table)
{
    for (const auto& c : table) EXPECT_EQ(DecodeInPieces(c.stream, {}), c.events) << c.what;
}

TEST(TelnetDecoder, UndoesIacDoubling)
{
    ExpectDecodes(kEscaping);
    Bytes payload{kIac, 0, kIac, kIac, kSe};
    Bytes data{kIac, 'x', kIac};
    Bytes stream = Subnegotiate(kComPort, payload);
    Bytes escaped = EscapeData(data);
    stream.insert(stream.end(), escaped.begin(), escaped.end());
    EXPECT_EQ(DecodeInPieces(stream, {}), "sb 2c: ff 00 ff ff f0 | data ff 78 ff");
}

TEST(TelnetDecoder, ParsesNegotiationsAndSubnegotiations) { ExpectDecodes(kNegotiations); }

TEST(TelnetDecoder, SkipsOrDropsWhatIsMalformedAndKeepsWhatFollows)
{
    ExpectDecodes(kMalformed);
    // A subnegotiation that never ends in time is dropped, not kept growing.
    Bytes endless{kIac, kSb, kComPort};
    endless.resize(endless.size() + Decoder::kMaxSubnegotiation + 1, 7);
    for (auto byte : {kIac, kSe, std::uint8_t('k')}) endless.push_back(byte);
    EXPECT_EQ(DecodeInPieces(endless, {}), "data 6b");
}

TEST(TelnetDecoder, TakesTheNetworkVirtualTerminalsLineEndsUntilThePeerGoesBinary)
{
    ExpectDecodes(kLineEnds);
    Decoder binary;
    binary.SetPeerBinary(true);
    Bytes stream{'a', '\r', 0};
    ASSERT_EQ(binary.Feed(stream).size(), 1u);
    binary.SetPeerBinary(false);
    auto events = binary.Feed(stream);
    EXPECT_EQ(Describe(events), "data 61 0d") << "back to the terminal's line ends";
    binary.SetPeerBinary(true);
    EXPECT_EQ(Describe(binary.Feed(stream)), "data 61 0d 00") << "binary data keeps its NUL";
}

TEST(TelnetDecoder, DecodesAStreamCutAnywhereAsTheWholeStream)
{
    for (const auto& c : AllCases()) {
        for (std::size_t cut = 1; cut < c.stream.size(); ++cut) {
            EXPECT_EQ(DecodeInPieces(c.stream, {cut}), c.events) << c.what << ", cut at " << cut;
        }
        std::vector<std::size_t> everyByte;
        for (std::size_t cut = 1; cut < c.stream.size(); ++cut) everyByte.push_back(cut);
        EXPECT_EQ(DecodeInPieces(c.stream, everyByte), c.events) << c.what << ", a byte at a time";
    }
}

}  // namespace
}  // namespace tesmo::sim::telnet
