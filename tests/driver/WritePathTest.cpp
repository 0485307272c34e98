// The write path: exactly the written bytes go out in one bulk-OUT transfer
// whatever the packet size; the request reports what the bus sent, and
// nothing on any failure.
#include <gtest/gtest.h>

#include "SerialPortTest.h"
#include "usb/Descriptors.h"

namespace tesmo::test {
namespace {

Bytes Counting(std::size_t count)
{
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<UCHAR>(i * 7 + 1);
    return bytes;
}

struct WriteCase {
    const char* label;
    emu::usb::Speed speed;
    std::size_t length;
};
void PrintTo(const WriteCase& c, std::ostream* out) { *out << c.label; }

class WriteTransfer : public SerialPortTest, public ::testing::WithParamInterface<WriteCase> {
protected:
    emu::usb::DeviceConfig Config() const override
    {
        emu::usb::DeviceConfig config;
        config.descriptors = emu::usb::descriptors::StandardInstrument(GetParam().speed);
        return config;
    }
};

TEST_P(WriteTransfer, GoesOutAsOneTransferOfExactlyTheBytes)
{
    Bytes bytes = Counting(GetParam().length);
    instrument().ExpectOut(bytes);
    auto write = Write(bytes);
    EXPECT_EQ(write->status(), STATUS_SUCCESS);
    EXPECT_EQ(write->returned(), STATUS_SUCCESS);
    EXPECT_EQ(write->information(), bytes.size());
    auto transfers = instrument().OutTransfers();
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].bytes, bytes);
    EXPECT_TRUE(instrument().Problems().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, WriteTransfer,
                         ::testing::Values(WriteCase{"300_bytes_on_64_byte_packets", emu::usb::Speed::Full, 300},
                                           WriteCase{"300_bytes_on_512_byte_packets", emu::usb::Speed::High, 300},
                                           WriteCase{"one_whole_packet", emu::usb::Speed::Full, 64},
                                           WriteCase{"no_bytes", emu::usb::Speed::Full, 0}),
                         [](const auto& info) { return std::string(info.param.label); });

using WritePathTest = SerialPortTest;

struct RefusalCase {
    const char* label;
    bool surpriseRemoved;  // else a stop is being negotiated
};
void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.label; }

class WriteRefused : public WritePathTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(WriteRefused, FailsAtOnceWithoutReachingTheInstrument)
{
    if (GetParam().surpriseRemoved) {
        UnplugHeldOpen();
    } else {
        ASSERT_EQ(HoldQueue(), STATUS_SUCCESS);
    }
    auto write = Write(BytesOf("*RST\n"));
    EXPECT_EQ(write->status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write->returned(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write->information(), 0u);
    EXPECT_EQ(instrument().OutTransferCount(), 0u);
    EXPECT_EQ(ext()->QueuedIrpCount, 0) << "a write is never held";
}

INSTANTIATE_TEST_SUITE_P(States, WriteRefused,
                         ::testing::Values(RefusalCase{"queue_held", false}, RefusalCase{"queue_failing", true}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(WritePathTest, AFailedTransferReportsNoBytesSent)
{
    instrument().ExpectOut(std::nullopt, USBD_STATUS_STALL_PID);
    auto write = Write(BytesOf("*IDN?\n"));
    EXPECT_FALSE(NT_SUCCESS(write->status()));
    EXPECT_EQ(write->returned(), write->status());
    EXPECT_EQ(write->information(), 0u);
    EXPECT_EQ(instrument().OutTransferCount(), 1u);
}

TEST_F(WritePathTest, WithoutMemoryForTheUrbNothingIsSent)
{
    auto write = PortRequest::Write(fdo(), BytesOf("*IDN?\n"));
    sys().faults().FailNth(emu::FaultSite::Pool, 1);
    write->Send();
    EXPECT_TRUE(sys().faults().Hit(emu::FaultSite::Pool));
    sys().faults().Disarm();
    EXPECT_EQ(write->status(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(write->returned(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(write->information(), 0u);
    EXPECT_EQ(instrument().OutTransferCount(), 0u);
}

}  // namespace
}  // namespace tesmo::test
