// Bulk OUT transfers: the bytes reach the instrument in one call and the
// transfer completes with the instrument's answer.
#include <gtest/gtest.h>

#include "UsbTestSupport.h"

namespace tesmo::test {
namespace {

using namespace emu::usb;

class BulkOutTest : public UsbBusTest {
protected:
    void SetUp() override
    {
        Plug();
        SelectConfiguration();
    }
};

TEST_F(BulkOutTest, BytesReachTheInstrumentInOneCall)
{
    Bytes command{'*', 'I', 'D', 'N', '?', '\n'};
    URB urb = BulkUrb(Pipe(0x01), 0, command.data(), static_cast<ULONG>(command.size()));
    EXPECT_EQ(SubmitUrb(pdo(), urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, command.size());
    EXPECT_EQ(instrument_.outTransfers(), std::vector<Bytes>{command});
}

TEST_F(BulkOutTest, AZeroLengthTransferIsDelivered)
{
    URB urb = BulkUrb(Pipe(0x01), 0, nullptr, 0);
    EXPECT_EQ(SubmitUrb(pdo(), urb), STATUS_SUCCESS);
    EXPECT_EQ(instrument_.outTransfers(), std::vector<Bytes>{Bytes{}});
}

TEST_F(BulkOutTest, AnInstrumentThatStallsHaltsThePipe)
{
    instrument_.SetOutResult(USBD_STATUS_STALL_PID);
    Bytes data{1, 2, 3};
    URB urb = BulkUrb(Pipe(0x01), 0, data.data(), 3);
    EXPECT_EQ(SubmitUrb(pdo(), urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_TRUE(device_->PipeHalted(0x01));

    instrument_.SetOutResult(USBD_STATUS_SUCCESS);
    URB refused = BulkUrb(Pipe(0x01), 0, data.data(), 3);
    EXPECT_EQ(SubmitUrb(pdo(), refused), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(refused.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(instrument_.outTransfers().size(), 1u) << "a halted pipe sends nothing";
}

TEST_F(BulkOutTest, AnOutTransferIsCompletedOnlyAfterTheInstrumentHasIt)
{
    auto hold = device_->Arm(HoldPoint::OutDelivered);
    Bytes data{9};
    URB urb = BulkUrb(Pipe(0x01), 0, data.data(), 1);
    BusRequest write(pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    hold->WaitUntilHeld();
    EXPECT_EQ(instrument_.outTransfers().size(), 1u);
    EXPECT_FALSE(write.completed());
    hold->Release();
    EXPECT_EQ(write.Wait(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace tesmo::test
