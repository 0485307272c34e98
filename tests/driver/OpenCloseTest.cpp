// Open, cleanup and close answer success in every state of the device: they
// consult neither the queue nor the PnP or power state, and hold the remove
// lock only while they complete.
#include <gtest/gtest.h>

#include "DeviceTest.h"
#include "PortRequest.h"
#include "Win32Handles.h"
#include "emu/RemoveLocks.h"

namespace tesmo::test {
namespace {

enum class State { NotStarted, Working, PoweredDown, SurpriseRemoved };

struct StateCase {
    const char* label;
    State state;
    ULONG pnpState;
    ULONG queueState;
};
void PrintTo(const StateCase& c, std::ostream* out) { *out << c.label; }

class OpenClose : public AddedDeviceTest, protected Win32Handles, public ::testing::WithParamInterface<StateCase> {
protected:
    // Added by hand only when it is to stay unstarted.
    NTSTATUS Add() override { return GetParam().state == State::NotStarted ? stack().AddDevice() : stack().Plug(); }
    void SetUp() override
    {
        AddedDeviceTest::SetUp();
        if (GetParam().state == State::PoweredDown) {
            RequestPower(IRP_MN_QUERY_POWER, PowerDeviceD3);
            RequestPower(IRP_MN_SET_POWER, PowerDeviceD3);
        }
        if (GetParam().state == State::SurpriseRemoved) {
            ASSERT_NE(OpenPort(), INVALID_HANDLE_VALUE);  // keeps the device until teardown
            stack().Unplug();
        }
    }
};

TEST_P(OpenClose, SucceedWithNoBytesWhateverTheState)
{
    ASSERT_EQ(ext()->PnpState, GetParam().pnpState);
    ASSERT_EQ(ReadQueueState(ext()), GetParam().queueState);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
        auto request = PortRequest::Plain(fdo(), major);
        EXPECT_EQ(request->Send(), STATUS_SUCCESS) << "major " << int(major);
        EXPECT_EQ(request->status(), STATUS_SUCCESS) << "major " << int(major);
        EXPECT_EQ(request->information(), 0u) << "major " << int(major);
    }
    EXPECT_EQ(ext()->RemoveLockCount, 0);
    EXPECT_EQ(emu::InspectRemoveLock(&ext()->RemoveLock).ioCount, 1) << "an open kept the remove lock";
    EXPECT_EQ(ext()->QueuedIrpCount, 0);
}

INSTANTIATE_TEST_SUITE_P(States, OpenClose,
                         ::testing::Values(StateCase{"not_started", State::NotStarted, NotStarted, HoldRequests},
                                           StateCase{"working", State::Working, Working, AllowRequests},
                                           StateCase{"powered_down", State::PoweredDown, Working, HoldRequests},
                                           StateCase{"surprise_removed", State::SurpriseRemoved, SurpriseRemoved,
                                                     FailRequests}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo::test
