// The registry as drivers reach it: a device's hardware key, the value
// layouts of ZwQueryValueKey byte for byte, buffers too small for them, the
// device map, and handles left open at shutdown.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>

#include "SystemTest.h"
#include "TestDriver.h"
#include "emu/Devices.h"
#include "emu/Registry.h"
#include "emu_ntddk.h"

namespace tesmo::test {
namespace {

constexpr std::uint8_t kSentinel = 0xCC;

UNICODE_STRING Name(PCWSTR text)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text);
    return name;
}

std::vector<std::uint8_t> Bytes(std::initializer_list<std::uint32_t> ulongs, std::u16string_view text = {})
{
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t v : ulongs) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

class RegistryTest : public SystemTest {
protected:
    void SetUp() override
    {
        emu::SetDeviceInstancePath(pdo_, u"USB\\VID_1234&PID_5678\\7&2B&0&2");
        emu::SetDeviceRegistryValue(pdo_, u"PortName", emu::RegistryValue::String(u"COM3"));
        emu::SetDeviceRegistryValue(pdo_, u"Bit", emu::RegistryValue::Dword(0x11223344));
        emu::SetDeviceRegistryValue(pdo_, u"Empty", emu::RegistryValue::Binary({}));
        buffer_.fill(kSentinel);
    }
    void TearDown() override
    {
        if (key_) {
            EXPECT_EQ(ZwClose(key_), STATUS_SUCCESS);
        }
    }
    HANDLE Key()
    {
        if (!key_) {
            EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key_),
                      STATUS_SUCCESS);
        }
        return key_;
    }
    NTSTATUS Query(PCWSTR value, KEY_VALUE_INFORMATION_CLASS layout, ULONG length)
    {
        UNICODE_STRING name = Name(value);
        result_ = 0xDEAD;
        return ZwQueryValueKey(Key(), &name, layout, buffer_.data(), length, &result_);
    }
    // The buffer's first `n` bytes, and whether everything after them is untouched.
    std::vector<std::uint8_t> Written(std::size_t n) { return {buffer_.begin(), buffer_.begin() + n}; }
    bool UntouchedFrom(std::size_t n)
    {
        return std::all_of(buffer_.begin() + n, buffer_.end(), [](std::uint8_t b) { return b == kSentinel; });
    }

    std::optional<TestDriver> bus_{std::in_place, sys(), u"Bus"};
    PDEVICE_OBJECT pdo_ = bus_->CreateDevice();
    HANDLE key_ = nullptr;
    std::array<std::uint8_t, 128> buffer_;
    ULONG result_ = 0;
};

TEST_F(RegistryTest, FullInformationPutsTheDataAfterTheNameAtAFourByteBoundary)
{
    ASSERT_EQ(Query(u"PortName", KeyValueFullInformation, sizeof buffer_), STATUS_SUCCESS);
    // TitleIndex, Type, DataOffset (20 + 16 name bytes = 36), DataLength, NameLength, name, data.
    auto expected = Bytes({0, REG_SZ, 36, 10, 16}, u"PortName");
    auto data = Bytes({}, std::u16string_view(u"COM3\0", 5));
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(Written(46), expected);
    EXPECT_TRUE(UntouchedFrom(46));
    EXPECT_EQ(result_, 46u);
}

TEST_F(RegistryTest, FullInformationAlignsDataAfterAnOddLengthNameAndLeavesThePadding)
{
    ASSERT_EQ(Query(u"Bit", KeyValueFullInformation, sizeof buffer_), STATUS_SUCCESS);
    // 20 + 6 name bytes = 26, rounded up to 28.
    EXPECT_EQ(Written(26), Bytes({0, REG_DWORD, 28, 4, 6}, u"Bit"));
    EXPECT_EQ(buffer_[26], kSentinel);
    EXPECT_EQ(buffer_[27], kSentinel);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer_.begin() + 28, buffer_.begin() + 32), Bytes({0x11223344}));
    EXPECT_TRUE(UntouchedFrom(32));
    EXPECT_EQ(result_, 32u);
}

TEST_F(RegistryTest, FullInformationOfAValueWithoutDataHasNoDataOffset)
{
    ASSERT_EQ(Query(u"empty", KeyValueFullInformation, sizeof buffer_), STATUS_SUCCESS);
    EXPECT_EQ(Written(30), Bytes({0, REG_BINARY, 0xFFFFFFFF, 0, 10}, u"Empty")) << "the name as stored";
    EXPECT_TRUE(UntouchedFrom(30));
    EXPECT_EQ(result_, 30u);
}

TEST_F(RegistryTest, PartialInformationPutsTheDataAfterThreeUlongs)
{
    ASSERT_EQ(Query(u"Bit", KeyValuePartialInformation, sizeof buffer_), STATUS_SUCCESS);
    EXPECT_EQ(Written(16), Bytes({0, REG_DWORD, 4, 0x11223344}));
    EXPECT_TRUE(UntouchedFrom(16));
    EXPECT_EQ(result_, 16u);
}

struct TooSmallCase {
    const char* label;
    KEY_VALUE_INFORMATION_CLASS layout;
    ULONG length;
    NTSTATUS status;
    std::size_t written;  // bytes the answer may touch; the rest keeps the sentinel
};

void PrintTo(const TooSmallCase& c, std::ostream* out) { *out << c.label; }

class RegistryTooSmallTest : public RegistryTest, public ::testing::WithParamInterface<TooSmallCase> {};

// PortName: full answer 46 bytes (fixed part 20, name 16, data 10 at 36);
// partial answer 22 bytes (fixed part 12, data 10).
TEST_P(RegistryTooSmallTest, ReportsTheNeededLengthAndNeverWritesPartOfTheData)
{
    const TooSmallCase& c = GetParam();
    EXPECT_EQ(Query(u"PortName", c.layout, c.length), c.status);
    EXPECT_EQ(result_, c.layout == KeyValueFullInformation ? 46u : 22u);
    EXPECT_TRUE(UntouchedFrom(c.written));
    if (c.written >= 16) {
        EXPECT_EQ(Written(8), Bytes({0, REG_SZ})) << "the fixed part is filled in";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, RegistryTooSmallTest,
    ::testing::Values(TooSmallCase{"full_below_fixed_part", KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, 0},
                      TooSmallCase{"full_fixed_part_only", KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW, 20},
                      TooSmallCase{"full_name_but_no_data", KeyValueFullInformation, 45, STATUS_BUFFER_OVERFLOW, 36},
                      TooSmallCase{"partial_below_fixed_part", KeyValuePartialInformation, 11,
                                   STATUS_BUFFER_TOO_SMALL, 0},
                      TooSmallCase{"partial_one_byte_short", KeyValuePartialInformation, 21, STATUS_BUFFER_OVERFLOW,
                                   12}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(RegistryTest, MissingValueAndBadHandlesAreReported)
{
    EXPECT_EQ(Query(u"Missing", KeyValueFullInformation, sizeof buffer_), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(UntouchedFrom(0));
    UNICODE_STRING name = Name(u"PortName");
    HANDLE bogus = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(ZwQueryValueKey(bogus, &name, KeyValueFullInformation, buffer_.data(), 128, &result_),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(bogus), STATUS_INVALID_HANDLE);
    HANDLE key = Key();
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    key_ = nullptr;
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE) << "a closed handle stays invalid";
}

TEST_F(RegistryTest, ValueSetThroughAHandleIsSeenByTheHostAndNamesIgnoreCase)
{
    UNICODE_STRING name = Name(u"PollInterval");
    ULONG value = 250;
    EXPECT_EQ(ZwSetValueKey(Key(), &name, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
    EXPECT_EQ(emu::DeviceRegistryValue(pdo_, u"pollinterval"), emu::RegistryValue::Dword(250));
    EXPECT_EQ(emu::DeviceRegistryValue(pdo_, u"PortName")->Text(), u"COM3");
}

TEST_F(RegistryTest, OnlyAPhysicalDeviceObjectWithAnInstancePathHasAHardwareKey)
{
    TestDriver function(sys(), u"Function");
    PDEVICE_OBJECT fdo = function.CreateDevice(pdo_);
    PDEVICE_OBJECT unnamed = bus_->CreateDevice();
    HANDLE key = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoOpenDeviceRegistryKey(unnamed, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(key, nullptr);
    EXPECT_TRUE(emu::OpenRegistryKeys().empty());
}

TEST_F(RegistryTest, DeviceMapValueIsWrittenIntoANewKeyAndDeletedOnce)
{
    const std::u16string port = u"COM3";
    EXPECT_TRUE(emu::DeviceMapValues(u"SERIALCOMM").empty());
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Tesmo1", REG_SZ,
                                    const_cast<char16_t*>(port.c_str()), 10),
              STATUS_SUCCESS);
    auto values = emu::DeviceMapValues(u"SERIALCOMM");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values.at(u"\\Device\\Tesmo1"), emu::RegistryValue::String(u"COM3"));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Tesmo1"), STATUS_SUCCESS);
    EXPECT_TRUE(emu::DeviceMapValues(u"SERIALCOMM").empty());
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Tesmo1"),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, WriteBelowAMissingKeyFails)
{
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"NOSUCH\\DEEPER", u"Value", REG_DWORD, &one, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"NOSUCH", u"Value"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, RegistryRoutineAbovePassiveIsCaught)
{
    Key();
    {
        emu::IrqlScope dispatch(DISPATCH_LEVEL);
        Query(u"PortName", KeyValuePartialInformation, sizeof buffer_);
    }
    EXPECT_EQ(TakeViolations(emu::Rule::IrqlMisuse).size(), 1u);
}

TEST_F(RegistryTest, KeyHandleLeftOpenIsALeakAtShutdownNamingTheKey)
{
    Key();
    key_ = nullptr;  // the driver forgets it
    bus_.reset();
    sys().Shutdown();
    auto leaks = TakeViolations(emu::Rule::HandleLeak);
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].message.find("USB\\VID_1234&PID_5678\\7&2B&0&2\\Device Parameters"), std::string::npos)
        << leaks[0].message;
}

}  // namespace
}  // namespace tesmo::test
