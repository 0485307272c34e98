// Two instruments served by one loaded driver, as COM3 and COM4: the serial
// settings an application stores through one port are those the other port
// reports, while each port's reads keep running on the time-outs of their own
// device.
#include <gtest/gtest.h>

#include <array>

#include "DeviceExtension.h"
#include "DriverTest.h"
#include "instrument/CommandInstrument.h"
#include "tesmo/windows.h"
#include "usb/Bus.h"

namespace tesmo::test {
namespace {

// Two ports on one bus, so not the rungs' one-instrument stack.
class SharedSettingsTest : public DriverTest {
protected:
    void SetUp() override
    {
        for (std::size_t i = 0; i < nodes_.size(); ++i) {
            PDEVICE_OBJECT pdo = bus_.Plug(instruments_[i]).pdo();
            ASSERT_EQ(sys().pnp().Plug(pdo, driver().object(), &nodes_[i]), STATUS_SUCCESS);
        }
        ASSERT_EQ(sys().pnp().Info(nodes_[0]).portName, u"COM3");
        ASSERT_EQ(sys().pnp().Info(nodes_[1]).portName, u"COM4");
        com3_ = Open("\\\\.\\COM3");
        com4_ = Open("\\\\.\\COM4");
    }
    void TearDown() override
    {
        for (HANDLE handle : {com3_, com4_}) {
            if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        }
        for (emu::NodeId node : nodes_) sys().pnp().Disable(node);
        bus_.ReapRemovedDevices();
    }
    HANDLE Open(const char* name)
    {
        HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << name << ": " << GetLastError();
        return handle;
    }
    PDEVICE_EXTENSION Extension(std::size_t port)
    {
        return static_cast<PDEVICE_EXTENSION>(sys().pnp().Info(nodes_[port]).fdo->DeviceExtension);
    }

    std::array<emu::usb::CommandInstrument, 2> instruments_;
    emu::usb::Bus bus_{sys()};
    std::array<emu::NodeId, 2> nodes_{};
    HANDLE com3_ = INVALID_HANDLE_VALUE;
    HANDLE com4_ = INVALID_HANDLE_VALUE;
};

TEST_F(SharedSettingsTest, ABaudRateSetThroughOnePortIsReadThroughTheOther)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(com3_, &dcb)) << GetLastError();
    EXPECT_EQ(dcb.BaudRate, 0x00020000u) << "the load-time rate";
    dcb.BaudRate = CBR_9600;
    ASSERT_TRUE(SetCommState(com3_, &dcb)) << GetLastError();

    DCB other{};
    other.DCBlength = sizeof other;
    ASSERT_TRUE(GetCommState(com4_, &other)) << GetLastError();
    EXPECT_EQ(other.BaudRate, static_cast<DWORD>(CBR_9600));
}

TEST_F(SharedSettingsTest, TimeoutsAreReportedForBothPortsButOnlyTheSettingPortReadsByThem)
{
    COMMTIMEOUTS set{0xFFFFFFFF, 0, 0, 10, 20};
    ASSERT_TRUE(SetCommTimeouts(com3_, &set)) << GetLastError();

    COMMTIMEOUTS reported{};
    ASSERT_TRUE(GetCommTimeouts(com4_, &reported)) << GetLastError();
    EXPECT_EQ(reported.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(reported.WriteTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(reported.WriteTotalTimeoutConstant, 20u);
    EXPECT_EQ(Extension(0)->ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(Extension(1)->ReadTotalTimeoutConstant, 120000u) << "COM4 reads still wait 120 s";
}

}  // namespace
}  // namespace tesmo::test
