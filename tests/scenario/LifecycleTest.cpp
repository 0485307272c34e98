// The whole life of the port under the verifier: plug in, open, talk to the
// instrument, rebalance, disable, enable, unplug with a handle open, close.
// Nothing may be left behind: no pool block of the driver, no open key, no
// link, no device-map value.
#include <gtest/gtest.h>

#include <string>

#include "DeviceTest.h"
#include "Win32Handles.h"
#include "emu/Namespace.h"
#include "emu/Registry.h"

namespace tesmo::test {
namespace {

class LifecycleTest : public BusDeviceTest, protected Win32Handles {
protected:
    std::string Ask(HANDLE port, const std::string& command)
    {
        DWORD count = 0;
        EXPECT_TRUE(WriteFile(port, command.data(), DWORD(command.size()), &count, nullptr));
        char answer[256];
        EXPECT_TRUE(ReadFile(port, answer, sizeof answer, &count, nullptr));
        return std::string(answer, count);
    }
};

TEST_F(LifecycleTest, PlugTalkRebalanceDisableEnableUnplugLeavesNothing)
{
    ASSERT_EQ(stack().Plug(), STATUS_SUCCESS);
    HANDLE handle = OpenPort();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Ask(handle, "*IDN?\n"), "TESMO,Model 7,SN 000123,FW 1.5\n");

    // A rebalance with the port open: requests wait, then go on.
    EXPECT_EQ(pnp().Rebalance(node()), STATUS_SUCCESS);
    EXPECT_EQ(Ask(handle, "*OPC?\n"), "1\n");

    // A disable is vetoed while the port is open.
    EXPECT_EQ(pnp().Disable(node()), STATUS_DEVICE_BUSY);
    Close(handle);
    EXPECT_EQ(pnp().Disable(node()), STATUS_SUCCESS);
    EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(emu::SymbolicLinks().empty());

    // Enabled again: the same COM name, the next device number.
    EXPECT_EQ(pnp().Enable(node()), STATUS_SUCCESS);
    EXPECT_EQ(stack().portName(), u"COM3");
    EXPECT_EQ(emu::SymbolicLinkTarget(u"\\DosDevices\\COM3"), u"\\Device\\Tesmo2");
    handle = OpenPort();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Ask(handle, "*IDN?\n"), "TESMO,Model 7,SN 000123,FW 1.5\n");

    // Unplugged with the port open: the name goes at once, the removal
    // waits for the handle.
    stack().Unplug();
    EXPECT_TRUE(emu::SymbolicLinks().empty());
    EXPECT_TRUE(emu::DeviceMapValues(u"SERIALCOMM").empty());
    DWORD count = 0;
    EXPECT_FALSE(WriteFile(handle, "*IDN?\n", 6, &count, nullptr));
    EXPECT_FALSE(pnp().Info(node()).removed);
    Close(handle);
    EXPECT_TRUE(pnp().WaitRemoved(node()));
    EXPECT_TRUE(sys().pool().OutstandingWithTag(TESMO_POOL_TAG).empty());
    EXPECT_TRUE(emu::OpenRegistryKeys().empty());
}

}  // namespace
}  // namespace tesmo::test
