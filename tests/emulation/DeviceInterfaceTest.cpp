// Device interfaces: the link name's form, registering again, the statuses of
// enabling and disabling, and the name's buffer as the caller owns it.
#include <gtest/gtest.h>

#include "SystemTest.h"
#include "TestDriver.h"
#include "emu/DeviceInterfaces.h"
#include "emu/Devices.h"
#include "emu_ntddk.h"

namespace tesmo::test {
namespace {

constexpr GUID kPortInterface = {0x7E5D8DA7, 0x540B, 0x4940, {0xA4, 0xDF, 0x93, 0x83, 0xA9, 0xA1, 0xC2, 0x15}};
const std::u16string kInstancePath = u"USB\\VID_1234&PID_5678\\5&1A2B3C&0&1";
const std::u16string kExpectedLink =
    u"\\??\\USB#VID_1234&PID_5678#5&1A2B3C&0&1#{7e5d8da7-540b-4940-a4df-9383a9a1c215}";

std::u16string Text(const UNICODE_STRING& s) { return std::u16string(s.Buffer, s.Length / sizeof(WCHAR)); }

class DeviceInterfaceTest : public SystemTest {
protected:
    void SetUp() override { emu::SetDeviceInstancePath(pdo_, kInstancePath); }
    UNICODE_STRING Register(PUNICODE_STRING reference = nullptr)
    {
        UNICODE_STRING link{};
        EXPECT_EQ(IoRegisterDeviceInterface(pdo_, &kPortInterface, reference, &link), STATUS_SUCCESS);
        return link;
    }

    TestDriver bus_{sys(), u"Bus"};
    TestDriver function_{sys(), u"Function"};
    PDEVICE_OBJECT pdo_ = bus_.CreateDevice();
    PDEVICE_OBJECT fdo_ = function_.CreateDevice(pdo_);
};

TEST_F(DeviceInterfaceTest, LinkNameIsMadeFromTheInstancePathAndTheGuidInAPoolBufferTheCallerFrees)
{
    std::uint64_t checkpoint = sys().pool().Checkpoint();
    UNICODE_STRING link = Register();
    EXPECT_EQ(Text(link), kExpectedLink);
    EXPECT_EQ(link.MaximumLength, link.Length + sizeof(WCHAR));
    EXPECT_EQ(link.Buffer[link.Length / sizeof(WCHAR)], 0) << "the name is terminated";
    EXPECT_EQ(sys().pool().OutstandingSince(checkpoint).size(), 1u);
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(link.Buffer, nullptr);
    EXPECT_TRUE(sys().pool().OutstandingSince(checkpoint).empty());
}

TEST_F(DeviceInterfaceTest, RegisteringAgainGivesTheSameNameInANewBuffer)
{
    UNICODE_STRING first = Register();
    UNICODE_STRING second = Register();
    EXPECT_EQ(Text(first), Text(second));
    EXPECT_NE(first.Buffer, second.Buffer);
    EXPECT_EQ(emu::DeviceInterfacesOf(fdo_).size(), 1u);
    RtlFreeUnicodeString(&first);
    RtlFreeUnicodeString(&second);
}

TEST_F(DeviceInterfaceTest, ReferenceStringFollowsTheGuid)
{
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, u"Port1");
    UNICODE_STRING link = Register(&reference);
    EXPECT_EQ(Text(link), kExpectedLink + u"\\Port1");
    EXPECT_EQ(emu::DeviceInterfacesOf(pdo_).at(0).referenceString, u"Port1");
    RtlFreeUnicodeString(&link);
}

TEST_F(DeviceInterfaceTest, EnableAndDisableReturnThePlatformsStatusesAndAreVisible)
{
    UNICODE_STRING link = Register();
    EXPECT_FALSE(emu::DeviceInterfaceByLink(kExpectedLink)->enabled);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(emu::DeviceInterfacesOf(fdo_).at(0).enabled);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_TRUE(NT_SUCCESS(STATUS_OBJECT_NAME_EXISTS)) << "an informational status, not a failure";
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(emu::DeviceInterfacesOfClass(kPortInterface).at(0).enabled);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&link);
}

TEST_F(DeviceInterfaceTest, UnknownLinkIsNotFound)
{
    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, u"\\??\\USB#VID_0000&PID_0000#0#{7e5d8da7-540b-4940-a4df-9383a9a1c215}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceInterfaceTest, OnlyAPhysicalDeviceObjectWithAnInstancePathRegisters)
{
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(fdo_, &kPortInterface, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST);
    PDEVICE_OBJECT unnamed = bus_.CreateDevice();
    EXPECT_EQ(IoRegisterDeviceInterface(unnamed, &kPortInterface, nullptr, &link), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(link.Buffer, nullptr);
}

TEST_F(DeviceInterfaceTest, FailedNameAllocationFailsTheRegistration)
{
    sys().faults().FailNth(emu::FaultSite::Pool, 1);
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo_, &kPortInterface, nullptr, &link), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(link.Buffer, nullptr);
}

}  // namespace
}  // namespace tesmo::test
