// The loopback instrument through the Win32 API: random bytes written in
// random pieces come back whole and in order, with either packet size.
#include <algorithm>
#include <random>
#include <vector>

#include "CapiSession.h"

namespace tesmo::capi_test {
namespace {

struct LoopbackCase {
    std::uint32_t packetSize;
    bool frameTiming;
};

class LoopbackTest : public CapiTest, public ::testing::WithParamInterface<LoopbackCase> {};

TEST_P(LoopbackTest, ReturnsAMegabyteOfRandomPiecesIntactAndInOrder)
{
    tesmo_instrument instrument;
    ASSERT_EQ(R(tesmo_instrument_init(&instrument, TESMO_INSTRUMENT_LOOPBACK)), kOk);
    instrument.packet_size = GetParam().packetSize;
    instrument.frame_timing = GetParam().frameTiming;
    Plug(instrument);
    HANDLE port = OpenPort();
    Configure(port, COMMTIMEOUTS{0, 0, 1000, 0, 0});

    std::mt19937 random(GetParam().packetSize);
    std::vector<std::uint8_t> sent(1 << 20), received;
    std::generate(sent.begin(), sent.end(), [&] { return static_cast<std::uint8_t>(random()); });
    std::size_t written = 0;
    while (written < sent.size()) {
        // Pieces that straddle packet boundaries, with reads cut differently
        // from the writes.
        DWORD piece = std::min<DWORD>(sent.size() - written, 1 + random() % 3000), count = 0;
        ASSERT_TRUE(WriteFile(port, sent.data() + written, piece, &count, nullptr)) << GetLastError();
        ASSERT_EQ(count, piece);
        written += piece;
        // A write that fills its last packet is followed by a zero-length
        // packet, which a read may meet alone: one empty read, never two.
        for (int emptyReads = 0; received.size() < written; emptyReads = count == 0 ? emptyReads + 1 : 0) {
            ASSERT_LT(emptyReads, 2) << "the loopback lost bytes after " << received.size();
            std::vector<std::uint8_t> chunk(1 + random() % (written - received.size()));
            ASSERT_TRUE(ReadFile(port, chunk.data(), chunk.size(), &count, nullptr)) << GetLastError();
            received.insert(received.end(), chunk.begin(), chunk.begin() + count);
        }
    }
    EXPECT_TRUE(received == sent);
    EXPECT_TRUE(CloseHandle(port));
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, LoopbackTest,
                         ::testing::Values(LoopbackCase{64, false}, LoopbackCase{512, true}));

}  // namespace
}  // namespace tesmo::capi_test
