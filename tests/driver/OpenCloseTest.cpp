// Open, cleanup and close answer success in every state of the device: they
// consult neither the queue nor the PnP or power state, and hold the remove
// lock only while they complete.
#include <gtest/gtest.h>

#include "DriverStackTest.h"
#include "PortRequest.h"
#include "SystemTest.h"
#include "emu/RemoveLocks.h"
#include "instrument/CommandInstrument.h"

namespace tesmo::test {
namespace {

struct StateCase {
    const char* label;
    ULONG pnpState;
    ULONG queueState;
    DEVICE_POWER_STATE powerState;
};
void PrintTo(const StateCase& c, std::ostream* out) { *out << c.label; }

class OpenClose : public AddedDeviceTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(OpenClose, SucceedWithNoBytesWhateverTheState)
{
    PDEVICE_EXTENSION ext = stack_->extension();
    ext->PnpState = GetParam().pnpState;
    ext->QueueState = GetParam().queueState;
    ext->DevicePowerState = GetParam().powerState;
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
        auto request = PortRequest::Plain(stack_->fdo(), major);
        EXPECT_EQ(request->Send(), STATUS_SUCCESS) << "major " << int(major);
        EXPECT_EQ(request->status(), STATUS_SUCCESS) << "major " << int(major);
        EXPECT_EQ(request->information(), 0u) << "major " << int(major);
    }
    EXPECT_EQ(ext->RemoveLockCount, 0);
    EXPECT_EQ(emu::InspectRemoveLock(&ext->RemoveLock).ioCount, 1) << "an open kept the remove lock";
    EXPECT_EQ(ext->QueuedIrpCount, 0);
    ext->PnpState = NotStarted;
    ext->QueueState = HoldRequests;
}

INSTANTIATE_TEST_SUITE_P(
    States, OpenClose,
    ::testing::Values(StateCase{"not_started", NotStarted, HoldRequests, PowerDeviceUnspecified},
                      StateCase{"working", Working, AllowRequests, PowerDeviceD0},
                      StateCase{"powered_down", Working, HoldRequests, PowerDeviceD3},
                      StateCase{"surprise_removed", SurpriseRemoved, FailRequests, PowerDeviceD0}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo::test
