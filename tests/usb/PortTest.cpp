// The hub port behind the PDO: its status word and port resets.
#include <gtest/gtest.h>

#include "UsbTestSupport.h"

namespace tesmo::test {
namespace {

using namespace emu::usb;

class PortTest : public UsbBusTest {
protected:
    void SetUp() override
    {
        Plug();
    }
    NTSTATUS QueryPort(ULONG& word)
    {
        BusRequest request(pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word);
        return request.Wait();
    }
    NTSTATUS ResetPort()
    {
        BusRequest request(pdo(), IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
        return request.Wait();
    }
};

TEST_F(PortTest, StatusWordIsWhatTheHubReports)
{
    ULONG word = 0xFFFFFFFF;
    EXPECT_EQ(QueryPort(word), STATUS_SUCCESS);
    EXPECT_EQ(word, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    device_->SetPortStatus(USBD_PORT_CONNECTED);
    EXPECT_EQ(QueryPort(word), STATUS_SUCCESS);
    EXPECT_EQ(word, ULONG(USBD_PORT_CONNECTED));
}

TEST_F(PortTest, AResetIsCountedAndEnablesThePortAgain)
{
    device_->SetPortStatus(USBD_PORT_CONNECTED);
    EXPECT_EQ(ResetPort(), STATUS_SUCCESS);
    EXPECT_EQ(device_->portResets(), 1u);
    EXPECT_EQ(device_->portStatus(), ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}

TEST_F(PortTest, AFailingResetLeavesThePortDisabled)
{
    device_->SetPortStatus(USBD_PORT_CONNECTED);
    device_->FailPortResets(STATUS_IO_TIMEOUT);
    EXPECT_EQ(ResetPort(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(device_->portResets(), 1u);
    EXPECT_EQ(device_->portStatus(), ULONG(USBD_PORT_CONNECTED));
}

TEST_F(PortTest, TransfersFailWhileThePortIsDisabled)
{
    SelectConfiguration();
    device_->SetPortStatus(USBD_PORT_CONNECTED);
    std::uint8_t byte = 0;
    URB urb = BulkUrb(Pipe(0x01), 0, &byte, 1);
    EXPECT_EQ(SubmitUrb(pdo(), urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(ResetPort(), STATUS_SUCCESS);
    URB again = BulkUrb(Pipe(0x01), 0, &byte, 1);
    EXPECT_EQ(SubmitUrb(pdo(), again), STATUS_SUCCESS);
}

}  // namespace
}  // namespace tesmo::test
