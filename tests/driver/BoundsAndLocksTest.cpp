// Bounds the port keeps whatever the device or the other requests do: the
// device descriptor's copy stays within the descriptor, a set and a get of a
// serial setting never overlap, and a read of exactly one packet waits no
// longer than the read time-outs allow.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "SerialPortTest.h"
#include "SerialSettings.h"
#include "TesmoIoctl.h"
#include "emu/SpinLocks.h"
#include "emu/Threads.h"

namespace tesmo::test {
namespace {

// ---- the device descriptor's copy ----

struct DescriptorCase {
    const char* label;
    UCHAR claimedLength;  // bLength as the device reports it
    ULONG copied;
};
void PrintTo(const DescriptorCase& c, std::ostream* out) { *out << c.label; }

class DeviceDescriptorLength : public SerialPortTest, public ::testing::WithParamInterface<DescriptorCase> {
protected:
    emu::usb::DeviceConfig Config() const override
    {
        emu::usb::DeviceConfig config;
        config.descriptors.device.bLength = GetParam().claimedLength;
        return config;
    }
};

TEST_P(DeviceDescriptorLength, CopiesNoMoreThanTheDescriptor)
{
    const DescriptorCase& c = GetParam();
    auto request = Control(IOCTL_READ_DEVICE_DESCRIPTOR, {}, c.claimedLength);
    EXPECT_EQ(request->status(), STATUS_SUCCESS);
    EXPECT_EQ(request->information(), c.copied);
    auto device = usb().config().descriptors.DeviceBytes();
    EXPECT_EQ(request->Output(c.copied), Bytes(device.begin(), device.begin() + c.copied));
    EXPECT_TRUE(request->UnchangedFrom(c.copied)) << "bytes from beyond the descriptor reached the caller";
}

INSTANTIATE_TEST_SUITE_P(Claims, DeviceDescriptorLength,
                         ::testing::Values(DescriptorCase{"shorter_than_a_device_descriptor", 12, 12},
                                           DescriptorCase{"exactly_a_device_descriptor", 18, 18},
                                           DescriptorCase{"longer_than_a_device_descriptor", 64, 18},
                                           DescriptorCase{"the_longest_a_byte_can_say", 255, 18}),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- the settings lock ----

struct SettingCase {
    const char* label;
    ULONG setCode;
    ULONG getCode;
    std::size_t offset;  // of the member in the shared settings
    Bytes value;         // a valid new value, as many bytes as the member
};
void PrintTo(const SettingCase& c, std::ostream* out) { *out << c.label; }

class SettingsLock : public SerialPortTest, public ::testing::WithParamInterface<SettingCase> {
protected:
    Bytes Member() const { return Bytes(member_, member_ + GetParam().value.size()); }
    // Starts the request while the test holds the lock, and waits until it
    // either spins on the lock or has finished without it.
    void StartAtTheLock(PortRequest& request)
    {
        request.Start();
        emu::WaitUntil([&] { return request.completed() || emu::SpinLockWaiters(lock_) == 1; },
                       "the request to reach the settings lock");
    }

    PKSPIN_LOCK lock_ = DRIVER_SYMBOL(driver(), SerialSettingsLock);
    UCHAR* member_ = reinterpret_cast<UCHAR*>(DRIVER_SYMBOL(driver(), SerialSettings)) + GetParam().offset;
};

// The race: a set and a get of one member, each arriving while the other is
// inside the settings lock (the test stands in for the one inside).
TEST_P(SettingsLock, ASetAndAGetOfOneMemberNeverOverlap)
{
    const SettingCase& c = GetParam();
    const Bytes old = Member();
    const std::size_t half = c.value.size() / 2;
    auto set = PortRequest::Control(fdo(), c.setCode, c.value, 0);
    auto get = PortRequest::Control(fdo(), c.getCode, {}, static_cast<ULONG>(c.value.size()));

    // A get is inside the lock, reading: the set must not write yet.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock_);
    StartAtTheLock(*set);
    EXPECT_FALSE(set->completed()) << "the set did not wait for the lock";
    EXPECT_EQ(Member(), old) << "written under a get";
    KeReleaseSpinLock(lock_, irql);
    set->WaitCompleted();
    ASSERT_EQ(set->status(), STATUS_SUCCESS);
    ASSERT_EQ(Member(), c.value);

    // A set is inside the lock, half-way through putting the old value back:
    // the get must not read the half-written member.
    irql = KeAcquireSpinLockRaiseToDpc(lock_);
    std::memcpy(member_, old.data(), half);
    StartAtTheLock(*get);
    EXPECT_FALSE(get->completed()) << "the get did not wait for the lock";
    std::memcpy(member_ + half, old.data() + half, old.size() - half);
    KeReleaseSpinLock(lock_, irql);
    get->WaitCompleted();
    EXPECT_EQ(get->status(), STATUS_SUCCESS);
    EXPECT_EQ(get->Output(old.size()), old) << "a torn member reached the caller";
}

Bytes Words(std::initializer_list<ULONG> words)
{
    Bytes bytes;
    for (ULONG word : words) {
        Bytes one = BytesOf(word);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Members, SettingsLock,
    ::testing::Values(
        SettingCase{"timeouts", IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS,
                    offsetof(SERIAL_SETTINGS, Timeouts), Words({11, 22, 33, 44, 55})},
        SettingCase{"handflow", IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW,
                    offsetof(SERIAL_SETTINGS, HandFlow),
                    Words({SERIAL_DTR_CONTROL, SERIAL_AUTO_TRANSMIT, 100, 200})},
        SettingCase{"baud_rate", IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE,
                    offsetof(SERIAL_SETTINGS, BaudRate), Words({9600})},
        SettingCase{"wait_mask", IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK,
                    offsetof(SERIAL_SETTINGS, WaitMask), Words({0x1FF})}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- a read of exactly one packet ----

using OnePacketReadTest = SerialPortTest;

// 64 bytes on the 64-byte instrument, nothing waiting: one packet, so the
// single-packet wait with its limit, not the whole-packet transfer.
TEST_F(OnePacketReadTest, WaitsNoLongerThanTheReadTimeoutsAllow)
{
    SetReadTimeouts(1, 0);  // the limit: 64 bytes x 2 ms
    auto read = StartRead(64);
    ASSERT_TRUE(WaitsOnTheClock(*read)) << "waits without a limit";
    sys().clock().AdvanceBy(128 * emu::kMillisecond - 1);
    EXPECT_EQ(sys().clock().TimedWaiters(), 1u) << "gave up before the limit";
    EXPECT_TRUE(EveryWaitEndsAfter(1)) << "still waiting after the limit";
    read->WaitCompleted();
    EXPECT_EQ(read->status(), STATUS_TIMEOUT);
    EXPECT_EQ(read->information(), 0u);
}

}  // namespace
}  // namespace tesmo::test
