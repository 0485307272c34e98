// The streaming source: every byte of its pattern arrives once and in order,
// at the configured rate on the emulated clock or as fast as the bus asks,
// and nothing more after it is stopped or unplugged.
#include <gtest/gtest.h>

#include <memory>

#include "FakeBulkPort.h"
#include "SystemTest.h"
#include "instrument/StreamingSource.h"

namespace tesmo::test {
namespace {

using emu::usb::StreamingSource;
using emu::usb::StreamingSourceOptions;
using emu::usb::StreamPattern;

class StreamingSourceTest : public SystemTest {
protected:
    StreamingSource& Plug(StreamingSourceOptions options, std::uint16_t packetSize = 64)
    {
        port_ = std::make_unique<FakeBulkPort>(sys().clock(), packetSize);
        source_ = std::make_unique<StreamingSource>(std::move(options));
        source_->Connect(*port_);
        return *source_;
    }

    static StreamingSourceOptions AtRate(std::uint64_t bytesPerSecond)
    {
        StreamingSourceOptions options;
        options.bytesPerSecond = bytesPerSecond;
        options.running = true;
        return options;
    }

    // The bytes pushed so far are exactly the pattern's first ones.
    void ExpectPatternFromStart()
    {
        auto bytes = port().Bytes();
        EXPECT_EQ(source_->pattern().FirstMismatch(0, bytes), std::nullopt);
        EXPECT_EQ(bytes.size(), source_->BytesProduced());
    }

    FakeBulkPort& port() { return *port_; }

private:
    std::unique_ptr<FakeBulkPort> port_;
    std::unique_ptr<StreamingSource> source_;
};

// ---- rate ----

struct RateCase {
    const char* label;
    std::uint64_t bytesPerSecond;
    std::uint16_t packetSize;
    emu::Time tick;  // 0: one packet's time
    bool partial;
    emu::Time runFor;
    std::uint64_t expectedBytes;
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.label; }

class StreamRateTest : public StreamingSourceTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(StreamRateTest, ProducesWhatTheRateAllowsAndNothingEarly)
{
    const auto& c = GetParam();
    auto options = AtRate(c.bytesPerSecond);
    options.tick = c.tick;
    options.sendPartialPackets = c.partial;
    auto& source = Plug(options, c.packetSize);
    sys().clock().AdvanceBy(c.runFor);
    EXPECT_EQ(source.BytesProduced(), c.expectedBytes);
    ExpectPatternFromStart();
    if (!c.partial) {
        for (auto size : port().PacketSizes()) EXPECT_EQ(size, c.packetSize);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, StreamRateTest,
    ::testing::Values(
        RateCase{"100_packets_a_second_for_3s", 6400, 64, 0, false, 3 * emu::kSecond, 19200},
        RateCase{"one_tick_short_of_3s", 6400, 64, 0, false, 3 * emu::kSecond - 1, 19136},
        RateCase{"rate_not_a_multiple_of_the_packet_10s", 1000, 64, 0, false, 10 * emu::kSecond, 156 * 64},
        RateCase{"high_speed_1MBps_for_1s", 1'000'000, 512, 0, false, emu::kSecond, 1953 * 512},
        RateCase{"partial_packets_every_100ms_for_1s", 1000, 64, 100 * emu::kMillisecond, true, emu::kSecond, 1000},
        RateCase{"partial_packets_between_ticks", 1000, 64, 100 * emu::kMillisecond, true,
                 250 * emu::kMillisecond, 200}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(StreamingSourceTest, PartialPacketsEndEveryTickWithAShortPacket)
{
    auto options = AtRate(1000);
    options.tick = 100 * emu::kMillisecond;
    options.sendPartialPackets = true;
    Plug(options);
    sys().clock().AdvanceBy(200 * emu::kMillisecond);
    EXPECT_EQ(port().PacketSizes(), (std::vector<std::size_t>{64, 36, 64, 36}));
}

TEST_F(StreamingSourceTest, OutCommandsStopAndRestartTheStreamWhereItStopped)
{
    auto options = AtRate(6400);
    options.running = false;
    auto& source = Plug(options);
    sys().clock().AdvanceBy(emu::kSecond);
    EXPECT_EQ(source.BytesProduced(), 0u);

    EXPECT_EQ(source.OnBulkOut(Bytes("START\r\n")), 0);
    sys().clock().AdvanceBy(emu::kSecond);
    EXPECT_EQ(source.BytesProduced(), 6400u);

    EXPECT_EQ(source.OnBulkOut(Bytes("st")), 0);
    EXPECT_EQ(source.OnBulkOut(Bytes("op\n")), 0);
    sys().clock().AdvanceBy(emu::kSecond);
    EXPECT_EQ(source.BytesProduced(), 6400u);
    EXPECT_EQ(sys().clock().NextDeadline(), std::nullopt) << "a tick outlived STOP";

    // The rate counts from the restart, half-way into a packet's time.
    sys().clock().AdvanceBy(5 * emu::kMillisecond);
    source.Start();
    sys().clock().AdvanceBy(500 * emu::kMillisecond);
    EXPECT_EQ(source.BytesProduced(), 6400u + 3200u);
    ExpectPatternFromStart();
    EXPECT_EQ(source.ReceivedCommands(), (std::vector<std::string>{"START", "stop"}));
}

TEST_F(StreamingSourceTest, StopAndRestartInOneTransferKeepsStreaming)
{
    auto& source = Plug(AtRate(6400));
    sys().clock().AdvanceBy(100 * emu::kMillisecond);
    EXPECT_EQ(source.OnBulkOut(Bytes("STOP\nSTART\n")), 0);
    sys().clock().AdvanceBy(100 * emu::kMillisecond);
    EXPECT_EQ(source.BytesProduced(), 1280u);
    ExpectPatternFromStart();
}

// ---- as fast as asked ----

TEST_F(StreamingSourceTest, OnDemandBurstsContinueThePatternAcrossStopAndStart)
{
    StreamingSourceOptions options;
    options.pattern = StreamPattern::Repeating({'a', 'b', 'c'});
    options.burstPackets = 2;
    auto& source = Plug(options, 512);
    source.OnInWanted();
    EXPECT_EQ(port().PacketCount(), 0u) << "pushed before START";

    source.Start();  // one burst for a transfer that may already wait
    source.OnInWanted();
    source.Stop();
    source.OnInWanted();
    EXPECT_EQ(source.BytesProduced(), 4u * 512);
    source.Start();
    source.OnInWanted();
    EXPECT_EQ(source.BytesProduced(), 8u * 512);
    ExpectPatternFromStart();
}

// ---- unplugging ----

TEST_F(StreamingSourceTest, TickPendingAtUnplugNeverPushes)
{
    auto& source = Plug(AtRate(6400));
    sys().clock().AdvanceBy(15 * emu::kMillisecond);
    source.Disconnect();
    port().MarkUnplugged();
    EXPECT_EQ(sys().clock().NextDeadline(), std::nullopt);
    sys().clock().AdvanceBy(emu::kSecond);
    EXPECT_EQ(port().PushesAfterUnplug(), 0u);
    EXPECT_EQ(source.BytesProduced(), 64u);
}

TEST_F(StreamingSourceTest, ReplugResumesTheStreamWithoutAGapInThePattern)
{
    auto& source = Plug(AtRate(6400));
    sys().clock().AdvanceBy(100 * emu::kMillisecond);
    source.Disconnect();
    sys().clock().AdvanceBy(emu::kSecond);
    source.Connect(port());
    sys().clock().AdvanceBy(100 * emu::kMillisecond);
    EXPECT_EQ(source.BytesProduced(), 1280u);
    ExpectPatternFromStart();
}

// ---- the pattern ----

TEST(StreamPatternTest, CounterShowsALostRunOfWholePacketsThatAByteCounterWouldHide)
{
    auto pattern = StreamPattern::Counter();
    auto received = pattern.Slice(0, 1024);
    received.erase(received.begin() + 512, received.begin() + 768);  // 256 bytes lost
    EXPECT_EQ(pattern.FirstMismatch(0, received), 512u);
    EXPECT_EQ(pattern.FirstMismatch(4096, pattern.Slice(4096, 300)), std::nullopt);
}

// Slices are written a word (or a period) at a time: every start and end
// alignment must give the bytes At gives, past the counter's first carry.
TEST(StreamPatternTest, SlicesAgreeWithAtWhateverTheirAlignment)
{
    for (const auto& pattern : {StreamPattern::Counter(), StreamPattern::Repeating({1, 2, 3, 4, 5})}) {
        for (std::uint64_t start : {0ull, 1ull, 3ull, 1021ull, 4ull * 0x1FFFFull + 2}) {
            for (std::size_t count : {0u, 1u, 3u, 4u, 9u, 1030u}) {
                auto bytes = pattern.Slice(start, count);
                for (std::size_t i = 0; i < count; ++i) {
                    ASSERT_EQ(bytes[i], pattern.At(start + i)) << "from " << start << ", byte " << i;
                }
            }
        }
    }
}

}  // namespace
}  // namespace tesmo::test
