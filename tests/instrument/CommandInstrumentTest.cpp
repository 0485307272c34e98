// The command/answer instrument: how command lines are framed out of OUT
// transfers, which answer each gets, how answers are cut into packets, and
// when (on the emulated clock) they leave.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "FakeBulkPort.h"
#include "SystemTest.h"
#include "emu_usb.h"
#include "instrument/CommandInstrument.h"

namespace tesmo::test {
namespace {

using emu::usb::CommandInstrument;
using emu::usb::CommandInstrumentOptions;

constexpr const char* kIdentity = "TESMO,Model 7,SN 000123,FW 1.5\n";
constexpr const char* kUndefined = "ERR -113,\"Undefined header\"\n";

class CommandInstrumentTest : public SystemTest {
protected:
    CommandInstrument& Plug(CommandInstrumentOptions options = {}, std::uint16_t packetSize = 64)
    {
        port_ = std::make_unique<FakeBulkPort>(sys().clock(), packetSize);
        instrument_ = std::make_unique<CommandInstrument>(std::move(options));
        instrument_->Connect(*port_);
        return *instrument_;
    }

    void Send(std::string_view text)
    {
        auto bytes = Bytes(text);
        EXPECT_EQ(instrument_->OnBulkOut(bytes), USBD_STATUS_SUCCESS) << "sending " << text;
    }

    FakeBulkPort& port() { return *port_; }

private:
    std::unique_ptr<FakeBulkPort> port_;
    std::unique_ptr<CommandInstrument> instrument_;
};

TEST_F(CommandInstrumentTest, AnswersCommandsOfOneTransferInOrder)
{
    auto& instrument = Plug();
    Send("*IDN?\nMEAS?\nBOGUS 12\n*RST\nread?\n*OPC?\n");
    // *RST has no answer and restarts the measurements: READ? repeats the first value.
    std::vector<std::string> expected{kIdentity, "+1.000000E+00\n", kUndefined, "+1.000000E+00\n", "1\n"};
    EXPECT_EQ(port().Messages(), expected);
    EXPECT_EQ(instrument.ReceivedCommands(),
              (std::vector<std::string>{"*IDN?", "MEAS?", "BOGUS 12", "*RST", "read?", "*OPC?"}));
}

TEST_F(CommandInstrumentTest, CommandSplitMidLineIsAnsweredOnlyWhenItsLineEnds)
{
    auto& instrument = Plug();
    Send("*ID");
    Send("N");
    EXPECT_EQ(port().PacketCount(), 0u);
    // CR LF ends one line; the next command starts in the same transfer.
    Send("?\r");
    Send("\n*OP");
    Send("C?\n");
    EXPECT_EQ(port().Messages(), (std::vector<std::string>{kIdentity, "1\n"}));
    EXPECT_EQ(instrument.ReceivedCommands(), (std::vector<std::string>{"*IDN?", "*OPC?"}));
}

TEST_F(CommandInstrumentTest, OverlongLineIsRejectedAndParsingResumesAfterIt)
{
    CommandInstrumentOptions options;
    options.maxLineLength = 16;
    Plug(options);
    Send(std::string(40, 'X'));
    Send("YY\n*OPC?\n");
    EXPECT_EQ(port().Messages(), (std::vector<std::string>{"ERR -363,\"Input buffer overrun\"\n", "1\n"}));
}

TEST_F(CommandInstrumentTest, AddedCommandsMatchTheirHeaderCaseInsensitivelyAndSeeTheirArguments)
{
    auto& instrument = Plug();
    instrument.SetHandler("CONF:VOLT", [](std::string_view command) { return "set " + std::string(command) + "\n"; });
    instrument.SetAnswer("*idn?", "ACME,X\n");
    instrument.SetAnswer("*CLS", "");  // an empty answer still ends the host's transfer
    instrument.RemoveCommand("*OPC?");
    Send("  conf:volt 10.5  \n*IDN?\n*CLS\n*OPC?\n");
    EXPECT_EQ(port().Messages(), (std::vector<std::string>{"set conf:volt 10.5\n", "ACME,X\n", "", kUndefined}));
}

TEST_F(CommandInstrumentTest, UnplugForgetsTheUnfinishedLine)
{
    auto& instrument = Plug();
    Send("*ID");
    instrument.Disconnect();
    instrument.Connect(port());
    Send("N?\n");
    EXPECT_EQ(port().Messages(), (std::vector<std::string>{kUndefined}));
}

// ---- packets ----

struct PacketCase {
    const char* label;
    std::uint16_t packetSize;
    std::size_t answerLength;
    std::vector<std::size_t> packetSizes;
};

void PrintTo(const PacketCase& c, std::ostream* os) { *os << c.label; }

class AnswerPacketsTest : public CommandInstrumentTest, public ::testing::WithParamInterface<PacketCase> {};

TEST_P(AnswerPacketsTest, AnswerIsCutIntoFullPacketsAndEndsWithAShortOne)
{
    const auto& c = GetParam();
    auto& instrument = Plug({}, c.packetSize);
    std::string answer;
    for (std::size_t i = 0; i + 1 < c.answerLength; ++i) answer.push_back(static_cast<char>('a' + i % 26));
    answer.push_back('\n');
    instrument.SetAnswer("DATA?", answer);
    Send("DATA?\n");
    EXPECT_EQ(port().PacketSizes(), c.packetSizes);
    EXPECT_EQ(port().Messages(), std::vector<std::string>{answer});
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, AnswerPacketsTest,
    ::testing::Values(PacketCase{"64_shorter", 64, 63, {63}}, PacketCase{"64_equal", 64, 64, {64, 0}},
                      PacketCase{"64_one_more", 64, 65, {64, 1}}, PacketCase{"64_three_times", 64, 192, {64, 64, 64, 0}},
                      PacketCase{"64_three_and_a_bit", 64, 200, {64, 64, 64, 8}},
                      PacketCase{"512_shorter", 512, 511, {511}}, PacketCase{"512_equal", 512, 512, {512, 0}},
                      PacketCase{"512_one_more", 512, 513, {512, 1}},
                      PacketCase{"512_three_times", 512, 1536, {512, 512, 512, 0}}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- latency ----

TEST_F(CommandInstrumentTest, AnswerLeavesExactlyWhenTheLatencyHasPassed)
{
    CommandInstrumentOptions options;
    options.latency = 50 * emu::kMillisecond;
    auto& instrument = Plug(options);
    Send("*OPC?\n");
    sys().clock().AdvanceBy(50 * emu::kMillisecond - 1);
    EXPECT_EQ(port().PacketCount(), 0u);
    EXPECT_EQ(instrument.AnswersWaiting(), 1u);
    sys().clock().AdvanceBy(1);
    EXPECT_EQ(port().Messages(), std::vector<std::string>{"1\n"});
    EXPECT_EQ(instrument.AnswersWaiting(), 0u);
}

TEST_F(CommandInstrumentTest, AnswerNeverOvertakesAnEarlierOneWhenTheLatencyShrinks)
{
    CommandInstrumentOptions options;
    options.latency = 100 * emu::kMillisecond;
    auto& instrument = Plug(options);
    Send("MEAS?\n");
    instrument.SetLatency(0);
    Send("*OPC?\n");
    EXPECT_EQ(port().PacketCount(), 0u);
    sys().clock().AdvanceBy(100 * emu::kMillisecond);
    EXPECT_EQ(port().Messages(), (std::vector<std::string>{"+1.000000E+00\n", "1\n"}));
}

TEST_F(CommandInstrumentTest, AnswerWaitingAtUnplugIsNeverPushed)
{
    CommandInstrumentOptions options;
    options.latency = 10 * emu::kMillisecond;
    auto& instrument = Plug(options);
    Send("*IDN?\n");
    instrument.Disconnect();
    port().MarkUnplugged();
    EXPECT_EQ(sys().clock().NextDeadline(), std::nullopt) << "the answer's timer outlived the unplug";
    sys().clock().AdvanceBy(emu::kSecond);
    EXPECT_EQ(port().PushesAfterUnplug(), 0u);
    EXPECT_EQ(instrument.AnswersSent(), 0u);
}

}  // namespace
}  // namespace tesmo::test
