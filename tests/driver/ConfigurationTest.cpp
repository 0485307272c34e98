// Reading the descriptors and selecting the configuration against each
// descriptor layout, and what a failure or a second configuration leaves.
#include <gtest/gtest.h>

#include <thread>

#include "DeviceTest.h"
#include "Usb.h"
#include "usb/Descriptors.h"

namespace tesmo::test {
namespace {

namespace layouts = emu::usb::descriptors;

struct LayoutCase {
    const char* label;
    emu::usb::DescriptorSet (*layout)(emu::usb::Speed);
    emu::usb::Speed speed;
    bool inFound;
    bool outFound;
    USHORT inPacketSize;
};
void PrintTo(const LayoutCase& c, std::ostream* out) { *out << c.label; }

class ConfigurationTest : public AddedDeviceTest {
protected:
    void SetUp() override
    {
        AddedDeviceTest::SetUp();
        // Nobody starts the device: its D0 opens it to USB requests.
        ASSERT_EQ(RequestPower(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_PENDING);
        ASSERT_EQ(ReadQueueState(ext()), ULONG(AllowRequests));
    }
    NTSTATUS Configure()
    {
        NTSTATUS status = read_(fdo());
        if (!NT_SUCCESS(status)) return status;
        return select_(fdo(), ext()->ConfigurationDescriptor);
    }

    decltype(&ReadDescriptors) read_ = DRIVER_SYMBOL(driver(), ReadDescriptors);
    decltype(&SelectConfiguration) select_ = DRIVER_SYMBOL(driver(), SelectConfiguration);
};

class ConfigurationLayouts : public ConfigurationTest, public ::testing::WithParamInterface<LayoutCase> {
protected:
    emu::usb::DeviceConfig Config() const override { return {GetParam().layout(GetParam().speed)}; }
};

TEST_P(ConfigurationLayouts, TakesOnlyTheInstrumentsTwoBulkPipes)
{
    const LayoutCase& c = GetParam();
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    PDEVICE_EXTENSION e = ext();
    EXPECT_EQ(e->InPipeHandle != nullptr, c.inFound);
    EXPECT_EQ(e->OutPipeHandle != nullptr, c.outFound);
    EXPECT_EQ(e->InMaxPacketSize, c.inFound ? c.inPacketSize : 0);
    EXPECT_EQ(e->ReassemblyBlock != nullptr, c.inFound);
    EXPECT_EQ(e->StaticBuffer, e->ReassemblyBlock);
    EXPECT_TRUE(usb().configured());
    ASSERT_NE(e->InterfaceInfo, nullptr);
    // Every pipe record of the copy has its flags cleared.
    auto* interface = e->InterfaceInfo;
    for (UCHAR i = 0; i < e->ConfigurationDescriptor->bNumInterfaces; ++i) {
        for (ULONG p = 0; p < interface->NumberOfPipes; ++p) EXPECT_EQ(interface->Pipes[p].PipeFlags, 0u);
        interface =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(interface) + interface->Length);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ConfigurationLayouts,
    ::testing::Values(
        LayoutCase{"standard_full_speed", layouts::StandardInstrument, emu::usb::Speed::Full, true, true, 64},
        LayoutCase{"standard_high_speed", layouts::StandardInstrument, emu::usb::Speed::High, true, true, 512},
        LayoutCase{"without_interface_1", layouts::WithoutInterface1, emu::usb::Speed::Full, false, false, 0},
        LayoutCase{"interface_1_three_pipes", layouts::Interface1WithThreePipes, emu::usb::Speed::Full, false, false,
                   0},
        LayoutCase{"in_at_0x81", layouts::InEndpointAt0x81, emu::usb::Speed::Full, false, true, 0},
        LayoutCase{"out_at_0x02", layouts::OutEndpointAt0x02, emu::usb::Speed::Full, true, false, 64},
        LayoutCase{"interface_number_gap", layouts::InterfaceNumberGap, emu::usb::Speed::Full, false, false, 0}),
    [](const auto& info) { return std::string(info.param.label); });

struct DescriptorFailure {
    const char* label;
    unsigned occurrence;  // which GET_DESCRIPTOR request fails
};
void PrintTo(const DescriptorFailure& c, std::ostream* out) { *out << c.label; }

class DescriptorFailures : public ConfigurationTest, public ::testing::WithParamInterface<DescriptorFailure> {};

TEST_P(DescriptorFailures, AFailedReadLeavesNoConfigurationDescriptor)
{
    usb().FailUrb(emu::usb::UrbFailure{URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, std::nullopt, USBD_STATUS_STALL_PID,
                                       STATUS_UNSUCCESSFUL, GetParam().occurrence});
    EXPECT_EQ(read_(fdo()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ext()->ConfigurationDescriptor, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Requests, DescriptorFailures,
                         ::testing::Values(DescriptorFailure{"device", 1}, DescriptorFailure{"header", 2},
                                           DescriptorFailure{"whole", 3}),
                         [](const auto& info) { return std::string(info.param.label); });

// The bytes waiting in the buffer outlive a restart with it: the read path's
// tests follow them.
TEST_F(ConfigurationTest, ASecondConfigurationReplacesTheBlocksAndKeepsTheBuffer)
{
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    PUCHAR buffer = ext()->ReassemblyBlock;
    auto blocks = sys().pool().OutstandingWithTag(TESMO_POOL_TAG).size();
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    EXPECT_EQ(sys().pool().OutstandingWithTag(TESMO_POOL_TAG).size(), blocks);
    EXPECT_EQ(ext()->ReassemblyBlock, buffer);
}

// The race: the device changes its answer between the header that sized the
// block and the read that fills it.
TEST_F(ConfigurationTest, ADescriptorThatChangesItsLengthIsRefused)
{
    auto answer = usb().config().descriptors.configuration;
    answer.resize(answer.size() + 64, 0);
    answer[2] = static_cast<std::uint8_t>(answer.size());
    auto first = usb().Arm(emu::usb::HoldPoint::UrbReceived, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    NTSTATUS status = STATUS_PENDING;
    std::thread reader([&] { status = read_(fdo()); });
    std::shared_ptr<emu::usb::Hold> held = first;
    for (int request = 1; request < 3; ++request) {  // device, header: then the whole descriptor
        held->WaitUntilHeld();
        auto next = usb().Arm(emu::usb::HoldPoint::UrbReceived, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        held->Release();
        held = next;
    }
    held->WaitUntilHeld();
    usb().AnswerConfigurationWith(answer);
    held->Release();
    reader.join();
    EXPECT_EQ(status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(ext()->ConfigurationDescriptor, nullptr);
}

// The reassembly buffer holds one packet of the IN pipe: a size it cannot
// hold, or none, refuses the configuration.
struct PacketSizeCase {
    const char* label;
    std::uint16_t inPacketSize;
    NTSTATUS status;
};
void PrintTo(const PacketSizeCase& c, std::ostream* out) { *out << c.label; }

class InPacketSizes : public ConfigurationTest, public ::testing::WithParamInterface<PacketSizeCase> {
protected:
    emu::usb::DeviceConfig Config() const override
    {
        return {emu::usb::DescriptorBuilder()
                    .Interface({1,
                                0,
                                0xFF,
                                0,
                                0,
                                {emu::usb::EndpointSpec::BulkOut(0x01, emu::usb::Speed::Full),
                                 {0x82, USB_ENDPOINT_TYPE_BULK, GetParam().inPacketSize, 0}}})
                    .Build()};
    }
};

TEST_P(InPacketSizes, AreCheckedAgainstTheReassemblyBuffer)
{
    EXPECT_EQ(Configure(), GetParam().status);
    EXPECT_EQ(ext()->ReassemblyBlock != nullptr, NT_SUCCESS(GetParam().status));
}

INSTANTIATE_TEST_SUITE_P(Sizes, InPacketSizes,
                         // Bits 11-12 of wMaxPacketSize multiply the size the bus reports.
                         ::testing::Values(PacketSizeCase{"none", 0, STATUS_DEVICE_DATA_ERROR},
                                           PacketSizeCase{"two_transactions_of_2047", 0x0FFF, STATUS_SUCCESS},
                                           PacketSizeCase{"three_transactions_of_2047", 0x17FF,
                                                          STATUS_DEVICE_DATA_ERROR}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(ConfigurationTest, AFailedSelectionIsReportedWithTheBusStatus)
{
    usb().FailUrb(emu::usb::UrbFailure{URB_FUNCTION_SELECT_CONFIGURATION, std::nullopt, USBD_STATUS_STALL_PID,
                                       STATUS_DEVICE_DATA_ERROR, 0});
    EXPECT_EQ(Configure(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(ext()->InterfaceInfo, nullptr);
}

}  // namespace
}  // namespace tesmo::test
