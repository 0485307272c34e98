// Power requests to the bus's PDO: set and query complete on the bus thread
// at DISPATCH_LEVEL after PoStartNextPowerIrp; wait-wake stays pending until
// a wake-up, a cancel or an unplug.
#include <gtest/gtest.h>

#include "TestDriver.h"
#include "UsbTestSupport.h"

namespace tesmo::test {
namespace {

class BusPowerTest : public UsbBusTest {
protected:
    // A power request sent the way the power manager sends it.
    std::unique_ptr<TopLevelIrp> Send(UCHAR minor, POWER_STATE_TYPE type, int state)
    {
        auto request = std::make_unique<TopLevelIrp>(pdo(), IRP_MJ_POWER, minor);
        request->stack()->Parameters.Power.Type = type;
        if (type == DevicePowerState) {
            request->stack()->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
        } else {
            request->stack()->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
        }
        EXPECT_EQ(PoCallDriver(pdo(), request->irp()), STATUS_PENDING);
        return request;
    }
};

TEST_F(BusPowerTest, SetPowerCompletesAtDispatchLevelAndRecordsTheDeviceState)
{
    auto& device = Plug();
    auto request = Send(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
    request->WaitCompleted();
    EXPECT_EQ(request->finalStatus(), STATUS_SUCCESS);
    EXPECT_EQ(device.CurrentDeviceState(), PowerDeviceD3);
    auto log = device.PowerLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].completedAt, DISPATCH_LEVEL);
}

TEST_F(BusPowerTest, AConfiguredFailureFailsOnlyItsKindOfRequest)
{
    auto& device = Plug();
    device.FailPower(IRP_MN_QUERY_POWER, SystemPowerState, STATUS_UNSUCCESSFUL);
    auto query = Send(IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3);
    auto set = Send(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3);
    query->WaitCompleted();
    set->WaitCompleted();
    EXPECT_EQ(query->finalStatus(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(set->finalStatus(), STATUS_SUCCESS);
}

TEST_F(BusPowerTest, WaitWakeStaysPendingUntilTheDeviceWakes)
{
    auto& device = Plug();
    auto wait = Send(IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3);
    EXPECT_TRUE(device.WaitWakePending());
    EXPECT_FALSE(wait->completed());
    device.SignalWake();
    wait->WaitCompleted();
    EXPECT_EQ(wait->finalStatus(), STATUS_SUCCESS);
    EXPECT_FALSE(device.WaitWakePending());
}

TEST_F(BusPowerTest, WaitWakeIsCancellableAndEndsWithAnUnplug)
{
    auto& device = Plug();
    auto cancelled = Send(IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3);
    EXPECT_TRUE(IoCancelIrp(cancelled->irp()));
    ASSERT_TRUE(cancelled->completed());
    EXPECT_EQ(cancelled->finalStatus(), STATUS_CANCELLED);

    auto unplugged = Send(IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3);
    device.Unplug();
    unplugged->WaitCompleted();
    EXPECT_EQ(unplugged->finalStatus(), STATUS_CANCELLED);
}

TEST_F(BusPowerTest, OtherPowerRequestsComeBackUntouched)
{
    Plug();
    TopLevelIrp sequence(pdo(), IRP_MJ_POWER, IRP_MN_POWER_SEQUENCE);
    sequence.irp()->IoStatus.Status = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(PoCallDriver(pdo(), sequence.irp()), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sequence.finalStatus(), STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace tesmo::test
