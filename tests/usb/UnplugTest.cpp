// Unplugging: transfers in flight and every later request fail as on a real
// bus, the instrument hears nothing more, and the PDO stays until PnP
// removes it.
#include <gtest/gtest.h>

#include "TestDriver.h"
#include "UsbTestSupport.h"

namespace tesmo::test {
namespace {

using namespace emu::usb;

class UnplugTest : public UsbBusTest {
protected:
    void SetUp() override
    {
        Plug();
        SelectConfiguration();
    }
    NTSTATUS SendPnp(UCHAR minor)
    {
        TopLevelIrp request(pdo(), IRP_MJ_PNP, minor);
        return request.Send();
    }
};

TEST_F(UnplugTest, TransfersInFlightAndLaterRequestsFailDeviceGone)
{
    std::uint8_t buffer[64];
    URB waiting = BulkUrb(Pipe(0x82), kReadFlags, buffer, sizeof buffer);
    BusRequest read(pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &waiting);
    emu::WaitUntil([&] { return device_->PendingTransfers() == 1; }, "the read to wait");

    device_->Unplug();
    EXPECT_EQ(read.Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(waiting.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_FALSE(instrument_.connected());

    URB write = BulkUrb(Pipe(0x01), 0, buffer, 1);
    EXPECT_EQ(SubmitUrb(pdo(), write), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(write.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_TRUE(instrument_.outTransfers().empty());
    URB descriptor = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer, 18);
    EXPECT_EQ(SubmitUrb(pdo(), descriptor), STATUS_DEVICE_NOT_CONNECTED);
    ULONG port = 0x5A5A5A5A;
    BusRequest status(pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
    EXPECT_EQ(status.Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(port, 0x5A5A5A5Au);
    EXPECT_NE(pdo(), nullptr) << "the PDO stays until PnP removes it";
}

// Race: the cable is pulled after the instrument took an OUT transfer's
// bytes but before the bus completed it.
TEST_F(UnplugTest, UnplugBeforeAnOutTransferCompletesFailsIt)
{
    auto hold = device_->Arm(HoldPoint::OutDelivered);
    std::uint8_t byte = 'x';
    URB urb = BulkUrb(Pipe(0x01), 0, &byte, 1);
    BusRequest write(pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    hold->WaitUntilHeld();
    device_->Unplug();
    hold->Release();
    EXPECT_EQ(write.Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

// Race: the cable is pulled while the bus holds an IN transfer whose data is in.
TEST_F(UnplugTest, UnplugBeforeAnInTransferCompletesFailsIt)
{
    auto hold = device_->Arm(HoldPoint::InDataReady);
    std::uint8_t buffer[64];
    URB urb = BulkUrb(Pipe(0x82), kReadFlags, buffer, sizeof buffer);
    BusRequest read(pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    instrument_.Push(Bytes(64, 1));
    hold->WaitUntilHeld();
    device_->Unplug();
    EXPECT_EQ(read.Wait(), STATUS_DEVICE_NOT_CONNECTED);
    hold->Release();
    emu::WaitUntil([&] { return hold->passed(); }, "the bus thread to go on");
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

TEST_F(UnplugTest, RemovalDeletesThePdoOnlyOfAnUnpluggedDevice)
{
    EXPECT_EQ(SendPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_NE(pdo(), nullptr) << "still plugged: the PDO waits for the next AddDevice";
    EXPECT_FALSE(device_->configured()) << "removal closes the configuration";

    device_->Unplug();
    EXPECT_EQ(SendPnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_NE(pdo(), nullptr);
    EXPECT_EQ(SendPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pdo(), nullptr);
}

// A function driver passes the removal down before it detaches: the PDO goes
// once the stack above it is gone.
TEST_F(UnplugTest, APdoWithADriverAboveIsDeletedAfterTheDriverDetaches)
{
    TestDriver function(sys(), u"Function");
    PDEVICE_OBJECT fdo = function.CreateDevice(pdo());
    function.On(IRP_MJ_PNP, [&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(pdo(), irp);
    });
    device_->Unplug();
    TopLevelIrp remove(fdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(remove.Send(), STATUS_SUCCESS);
    bus_.ReapRemovedDevices();
    EXPECT_NE(pdo(), nullptr) << "the function driver is still attached";
    function.DeleteDevices();
    bus_.ReapRemovedDevices();
    EXPECT_EQ(pdo(), nullptr);
}

// A device is released from the bus only once its PDO is gone; the next
// device then takes its port, and with it its instance path.
TEST_F(UnplugTest, AReleasedDevicesPortGoesToTheNextDevice)
{
    TestDriver function(sys(), u"Function");
    PDEVICE_OBJECT fdo = function.CreateDevice(pdo());
    function.On(IRP_MJ_PNP, [&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(pdo(), irp);
    });
    const std::u16string instancePath = device_->InstancePath();
    device_->Unplug();
    TopLevelIrp remove(fdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(remove.Send(), STATUS_SUCCESS);
    EXPECT_FALSE(bus_.Release(*device_)) << "the function driver is still attached to the PDO";
    function.DeleteDevices();
    bus_.ReapRemovedDevices();
    ASSERT_TRUE(bus_.Release(*device_));
    EXPECT_TRUE(bus_.devices().empty());

    UsbDevice& next = bus_.Plug(instrument_);
    EXPECT_EQ(next.port(), 1u);
    EXPECT_EQ(next.InstancePath(), instancePath);
    EXPECT_TRUE(instrument_.connected());
}

}  // namespace
}  // namespace tesmo::test
