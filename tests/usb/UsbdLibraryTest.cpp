// The USB driver interface library: where the interface search starts and
// stops, and the exact layout of the select-configuration request it builds
// (the bus and the driver both walk it by its lengths).
#include <gtest/gtest.h>

#include <cstring>

#include "UsbTestSupport.h"
#include "emu/Pool.h"
#include "usb/Descriptors.h"

namespace tesmo::test {
namespace {

using namespace emu::usb;

class UsbdLibraryTest : public SystemTest {
protected:
    PUSB_INTERFACE_DESCRIPTOR Find(LONG number, LONG alternate = 0, LONG cls = -1, PVOID start = nullptr)
    {
        return USBD_ParseConfigurationDescriptorEx(config(), start ? start : config(), number, alternate, cls, -1, -1);
    }
    PUSB_CONFIGURATION_DESCRIPTOR config() { return set_.ConfigurationPointer(); }

    DescriptorSet set_ = DescriptorBuilder()
                             .Interface({0, 0, 0xFF, 0, 0, {EndpointSpec::InterruptIn(0x83, Speed::Full)}})
                             .Interface({1, 0, 0x0A, 0, 0, {}})
                             .Interface({1, 1, 0x0A, 0, 0,
                                         {EndpointSpec::BulkOut(0x01, Speed::Full),
                                          EndpointSpec::BulkIn(0x02, Speed::Full)}})
                             .Build();
};

TEST_F(UsbdLibraryTest, FindsInterfacesByNumberAlternateAndClass)
{
    auto* base = reinterpret_cast<PUCHAR>(config());
    EXPECT_EQ(reinterpret_cast<PUCHAR>(Find(0)), base + 9);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(Find(1, 0)), base + 9 + 9 + 7);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(Find(1, 1)), base + 9 + 9 + 7 + 9);
    EXPECT_EQ(Find(-1, -1, 0x0A), Find(1, 0)) << "class 0x0A first matches interface 1, setting 0";
    EXPECT_EQ(Find(2), nullptr);
    EXPECT_EQ(Find(0, 0, 0x0A), nullptr);
}

TEST_F(UsbdLibraryTest, SearchBeginsAtTheStartPosition)
{
    PUSB_INTERFACE_DESCRIPTOR first = Find(1, -1);
    PUSB_INTERFACE_DESCRIPTOR next = Find(1, -1, -1, reinterpret_cast<PUCHAR>(first) + first->bLength);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->bAlternateSetting, 1);
    EXPECT_EQ(Find(0, 0, -1, reinterpret_cast<PUCHAR>(config()) + config()->wTotalLength), nullptr);
}

TEST_F(UsbdLibraryTest, StopsAtADescriptorThatCannotBeWalked)
{
    // Interface 0's endpoint descriptor claims length 0: nothing behind it is reachable.
    set_.configuration[9 + 9] = 0;
    EXPECT_NE(Find(0), nullptr);
    EXPECT_EQ(Find(1), nullptr);
    // wTotalLength ending inside interface 1's descriptor hides it as well.
    set_ = descriptors::StandardInstrument();
    set_.configuration[2] = 9 + 9 + 7 + 4;
    EXPECT_EQ(Find(1), nullptr);
}

TEST_F(UsbdLibraryTest, RequestLayoutIsExactAndZeroFilled)
{
    DescriptorSet standard = descriptors::StandardInstrument();
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = standard.ConfigurationPointer();
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 1, 0, -1, -1, -1);
    list[2].Interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(0x5E5E);  // the terminator is not touched
    std::uint64_t checkpoint = sys().pool().Checkpoint();

    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    ASSERT_NE(urb, nullptr);
    auto blocks = sys().pool().OutstandingSince(checkpoint);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(emu::TagText(blocks[0].tag), "USBD");
    EXPECT_EQ(blocks[0].type, NonPagedPool);
    // Header 40 bytes; interface 0: 24 + 1 pipe of 24; interface 1: 24 + 2 pipes.
    constexpr std::size_t kSize = 40 + 48 + 72;
    ASSERT_EQ(blocks[0].size, kSize);

    Bytes expected(kSize, 0);
    auto put16 = [&](std::size_t at, std::uint16_t v) { std::memcpy(&expected[at], &v, 2); };
    auto put32 = [&](std::size_t at, std::uint32_t v) { std::memcpy(&expected[at], &v, 4); };
    put16(0, kSize);                                                  // Hdr.Length
    put16(2, URB_FUNCTION_SELECT_CONFIGURATION);                      // Hdr.Function
    std::memcpy(&expected[24], &descriptor, sizeof descriptor);       // ConfigurationDescriptor
    put16(40, 48), expected[42] = 0, put32(56, 1);                    // interface 0: Length, number, pipes
    put32(40 + 24 + 16, 0xFFFFFFFF);                                  // its pipe's MaximumTransferSize
    put16(88, 72), expected[90] = 1, put32(104, 2);                   // interface 1
    put32(88 + 24 + 16, 0xFFFFFFFF), put32(88 + 48 + 16, 0xFFFFFFFF);
    const auto* actual = reinterpret_cast<const std::uint8_t*>(urb);
    EXPECT_EQ(Bytes(actual, actual + kSize), expected);

    EXPECT_EQ(reinterpret_cast<PUCHAR>(list[0].Interface), actual + 40);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(list[1].Interface), actual + 88);
    EXPECT_EQ(list[2].Interface, reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(0x5E5E));
    ExFreePool(urb);
}

TEST_F(UsbdLibraryTest, NoRequestWithoutMemoryOrWithoutInterfaces)
{
    DescriptorSet standard = descriptors::StandardInstrument();
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = standard.ConfigurationPointer();
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(descriptor, list), nullptr);

    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1);
    sys().faults().FailNth(emu::FaultSite::Pool, 1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(descriptor, list), nullptr);
    EXPECT_TRUE(sys().faults().Hit(emu::FaultSite::Pool));
}

}  // namespace
}  // namespace tesmo::test
