// Descriptor requests and configuration selection: every descriptor variant
// read and configured as the driver does it, the pipe records the bus fills
// in, and the requests it refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "UsbTestSupport.h"

namespace tesmo::test {
namespace {

using namespace emu::usb;

struct ExpectedPipe {
    std::uint8_t address;
    USBD_PIPE_TYPE type;
    std::uint16_t packetSize;
};

struct VariantCase {
    const char* label;
    DescriptorSet (*descriptors)(Speed);
    Speed speed;
    NTSTATUS selectStatus;
    std::vector<ExpectedPipe> pipes;
};
void PrintTo(const VariantCase& c, std::ostream* out) { *out << c.label; }

class DescriptorVariant : public UsbBusTest, public ::testing::WithParamInterface<VariantCase> {};

TEST_P(DescriptorVariant, IsReadAndConfiguredAsTheDriverDoesIt)
{
    const VariantCase& c = GetParam();
    Plug(DeviceConfig{c.descriptors(c.speed)});
    SelectedConfiguration selected = SelectConfiguration();
    ASSERT_EQ(selected.status, c.selectStatus);
    if (!NT_SUCCESS(c.selectStatus)) {
        EXPECT_EQ(selected.usbdStatus, USBD_STATUS_INVALID_PARAMETER);
        EXPECT_FALSE(device_->configured());
        return;
    }
    EXPECT_EQ(selected.usbdStatus, USBD_STATUS_SUCCESS);
    ASSERT_EQ(selected.pipes.size(), c.pipes.size());
    std::set<USBD_PIPE_HANDLE> handles;
    for (const ExpectedPipe& want : c.pipes) {
        SCOPED_TRACE(testing::Message() << "endpoint 0x" << std::hex << int(want.address));
        ASSERT_TRUE(selected.pipes.count(want.address));
        const USBD_PIPE_INFORMATION& got = selected.pipes[want.address];
        EXPECT_EQ(got.PipeType, want.type);
        EXPECT_EQ(got.MaximumPacketSize, want.packetSize);
        EXPECT_NE(got.PipeHandle, nullptr);
        EXPECT_EQ(got.MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
        EXPECT_EQ(got.PipeFlags, 0u);
        handles.insert(got.PipeHandle);
    }
    EXPECT_EQ(handles.size(), c.pipes.size()) << "pipe handles are distinct";
    EXPECT_TRUE(device_->configured());
}

const ExpectedPipe kInterrupt83{0x83, UsbdPipeTypeInterrupt, 8};

INSTANTIATE_TEST_SUITE_P(
    Layouts, DescriptorVariant,
    ::testing::Values(
        VariantCase{"standard_full_speed", descriptors::StandardInstrument, Speed::Full, STATUS_SUCCESS,
                    {kInterrupt83, {0x01, UsbdPipeTypeBulk, 64}, {0x82, UsbdPipeTypeBulk, 64}}},
        VariantCase{"standard_high_speed", descriptors::StandardInstrument, Speed::High, STATUS_SUCCESS,
                    {kInterrupt83, {0x01, UsbdPipeTypeBulk, 512}, {0x82, UsbdPipeTypeBulk, 512}}},
        VariantCase{"without_interface_1", descriptors::WithoutInterface1, Speed::Full, STATUS_SUCCESS,
                    {kInterrupt83}},
        VariantCase{"interface_1_with_three_pipes", descriptors::Interface1WithThreePipes, Speed::High,
                    STATUS_SUCCESS,
                    {kInterrupt83, {0x01, UsbdPipeTypeBulk, 512}, {0x82, UsbdPipeTypeBulk, 512},
                     {0x84, UsbdPipeTypeInterrupt, 8}}},
        VariantCase{"in_at_0x81", descriptors::InEndpointAt0x81, Speed::Full, STATUS_SUCCESS,
                    {kInterrupt83, {0x01, UsbdPipeTypeBulk, 64}, {0x81, UsbdPipeTypeBulk, 64}}},
        VariantCase{"out_at_0x02", descriptors::OutEndpointAt0x02, Speed::Full, STATUS_SUCCESS,
                    {kInterrupt83, {0x02, UsbdPipeTypeBulk, 64}, {0x82, UsbdPipeTypeBulk, 64}}},
        // The driver asks for interfaces 0 and 1; interface 1 does not exist,
        // so its request holds one interface where the configuration has two.
        VariantCase{"interface_number_gap", descriptors::InterfaceNumberGap, Speed::Full, STATUS_INVALID_PARAMETER,
                    {}}),
    [](const auto& info) { return std::string(info.param.label); });

using ConfigurationTest = UsbBusTest;

TEST_F(ConfigurationTest, SelectFillsHandlesAndClassAndKeepsWhatTheCallerSet)
{
    Plug();
    DescriptorSet set = descriptors::StandardInstrument();
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = set.ConfigurationPointer();
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 1, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    PUSBD_PIPE_INFORMATION dataPipes = list[1].Interface->Pipes;
    dataPipes[1].MaximumTransferSize = 4096;
    dataPipes[1].PipeFlags = 0x5A;

    ASSERT_EQ(SubmitUrb(pdo(), *urb), STATUS_SUCCESS);
    EXPECT_NE(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    const USBD_INTERFACE_INFORMATION& data = *list[1].Interface;
    EXPECT_NE(data.InterfaceHandle, nullptr);
    EXPECT_NE(data.InterfaceHandle, list[0].Interface->InterfaceHandle);
    EXPECT_EQ(data.Class, 0xFF);
    EXPECT_EQ(data.NumberOfPipes, 2u);
    EXPECT_EQ(dataPipes[1].EndpointAddress, 0x82);
    EXPECT_EQ(dataPipes[1].MaximumTransferSize, 4096u);
    EXPECT_EQ(dataPipes[1].PipeFlags, 0x5Au);
    EXPECT_EQ(list[0].Interface->Pipes[0].Interval, 10);
    ExFreePool(urb);
}

// Each case spoils one thing in a request the library built.
struct MalformedCase {
    const char* label;
    void (*spoil)(PURB urb, PUSBD_INTERFACE_INFORMATION second);
};
void PrintTo(const MalformedCase& c, std::ostream* out) { *out << c.label; }

class MalformedSelect : public UsbBusTest, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedSelect, FailsWithInvalidParameter)
{
    Plug();
    DescriptorSet set = descriptors::StandardInstrument();
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = set.ConfigurationPointer();
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 1, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    GetParam().spoil(urb, list[1].Interface);
    EXPECT_EQ(SubmitUrb(pdo(), *urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(list[1].Interface->Pipes[0].PipeHandle, nullptr) << "nothing filled in";
    EXPECT_FALSE(device_->configured());
    ExFreePool(urb);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, MalformedSelect,
    ::testing::Values(
        MalformedCase{"pipe_count_differs", [](PURB, PUSBD_INTERFACE_INFORMATION i) { i->NumberOfPipes = 1; }},
        MalformedCase{"entry_length_wrong", [](PURB, PUSBD_INTERFACE_INFORMATION i) { i->Length += 8; }},
        MalformedCase{"request_too_short", [](PURB u, PUSBD_INTERFACE_INFORMATION) { u->UrbHeader.Length -= 24; }},
        MalformedCase{"unknown_interface", [](PURB, PUSBD_INTERFACE_INFORMATION i) { i->InterfaceNumber = 5; }},
        MalformedCase{"interface_twice", [](PURB, PUSBD_INTERFACE_INFORMATION i) { i->InterfaceNumber = 0; }},
        MalformedCase{"other_configuration",
                      [](PURB u, PUSBD_INTERFACE_INFORMATION) {
                          static USB_CONFIGURATION_DESCRIPTOR other{9, 2, 9, 0, 2, 0, 0x80, 50};
                          u->UrbSelectConfiguration.ConfigurationDescriptor = &other;
                      }}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ConfigurationTest, DescriptorRequestsCopyAtMostWhatWasAskedFor)
{
    Plug();
    std::uint8_t buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);
    URB shortRead = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer, 8);
    ASSERT_EQ(SubmitUrb(pdo(), shortRead), STATUS_SUCCESS);
    EXPECT_EQ(shortRead.UrbControlDescriptorRequest.TransferBufferLength, 8u);
    EXPECT_EQ(buffer[8], 0xEE) << "nothing written past the requested length";

    URB longRead = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer, sizeof buffer);
    ASSERT_EQ(SubmitUrb(pdo(), longRead), STATUS_SUCCESS);
    EXPECT_EQ(longRead.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(longRead.UrbHeader.Status, USBD_STATUS_SUCCESS);
    const auto* device = reinterpret_cast<USB_DEVICE_DESCRIPTOR*>(buffer);
    EXPECT_EQ(device->idVendor, kInstrumentVendorId);
    EXPECT_EQ(device->idProduct, kInstrumentProductId);
    EXPECT_EQ(buffer[18], 0xEE);
}

TEST_F(ConfigurationTest, DescriptorsTheDeviceDoesNotHaveStall)
{
    Plug();
    std::uint8_t buffer[32];
    for (auto [type, index] : {std::pair<UCHAR, UCHAR>{USB_STRING_DESCRIPTOR_TYPE, 0}, {USB_CONFIGURATION_DESCRIPTOR_TYPE, 1}}) {
        URB urb = DescriptorUrb(type, buffer, sizeof buffer, index);
        EXPECT_EQ(SubmitUrb(pdo(), urb), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
        EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
    }
}

TEST_F(ConfigurationTest, InjectedFailuresHitOnlyTheChosenRequest)
{
    Plug().FailUrb({URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                    USBD_STATUS_DEV_NOT_RESPONDING, STATUS_IO_TIMEOUT, 2});
    device_->FailUrb({URB_FUNCTION_SELECT_CONFIGURATION, std::nullopt, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL});
    std::uint8_t buffer[64];
    URB device = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer, 18);
    URB first = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, 9);
    URB second = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, sizeof buffer);
    URB third = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, sizeof buffer);
    EXPECT_EQ(SubmitUrb(pdo(), device), STATUS_SUCCESS);
    EXPECT_EQ(SubmitUrb(pdo(), first), STATUS_SUCCESS);
    EXPECT_EQ(SubmitUrb(pdo(), second), STATUS_IO_TIMEOUT);
    EXPECT_EQ(second.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(SubmitUrb(pdo(), third), STATUS_SUCCESS);

    SelectedConfiguration selected = SelectConfiguration();
    EXPECT_EQ(selected.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(selected.usbdStatus, USBD_STATUS_STALL_PID);
    EXPECT_FALSE(device_->configured());
}

TEST_F(ConfigurationTest, UnknownUrbFunctionIsNotModelled)
{
    Plug();
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    EXPECT_EQ(SubmitUrb(pdo(), urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
    EXPECT_EQ(TakeViolations(emu::Rule::NotModelled).size(), 1u);
}

TEST_F(ConfigurationTest, ReselectingClosesTheOldPipes)
{
    Plug();
    SelectConfiguration();
    USBD_PIPE_HANDLE old = Pipe(0x82);
    std::uint8_t buffer[64];
    URB waiting = BulkUrb(old, kReadFlags, buffer, sizeof buffer);
    BusRequest read(pdo(), IOCTL_INTERNAL_USB_SUBMIT_URB, &waiting);
    emu::WaitUntil([&] { return device_->PendingTransfers() == 1; }, "the read to wait for data");

    SelectConfiguration();
    EXPECT_EQ(read.Wait(), STATUS_CANCELLED);
    EXPECT_NE(Pipe(0x82), old);
    URB stale = BulkUrb(old, kReadFlags, buffer, sizeof buffer);
    EXPECT_EQ(SubmitUrb(pdo(), stale), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

}  // namespace
}  // namespace tesmo::test
