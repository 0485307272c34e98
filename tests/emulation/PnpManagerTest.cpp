// Which requests the PnP and power managers send a device node in each of
// its states: a sequence goes only to a node that can take it, a node that
// has left the tree (its PDO deleted by the bus) is never touched again, and
// system power reaches a surprise-removed node while open handles keep it in
// the tree. The node is a PDO of the emulated bus with a function driver
// that records every PnP and power request and passes it down.
#include <gtest/gtest.h>

#include <mutex>
#include <ostream>
#include <utility>
#include <vector>

#include "SystemTest.h"
#include "TestDriver.h"
#include "emu/Io.h"
#include "emu/Pnp.h"
#include "instrument/CommandInstrument.h"
#include "usb/Bus.h"

namespace tesmo::test {
namespace {

using Request = std::pair<UCHAR, UCHAR>;  // major, minor
using Requests = std::vector<Request>;

enum class NodeState { Started, Disabled, UnpluggedAndHeldOpen, RemovedAfterUnplug };

class PnpManagerTest : public SystemTest {
protected:
    void SetUp() override
    {
        function_.object()->DriverExtension->AddDevice = AddDevice;
        function_.On(IRP_MJ_PNP, [this](PDEVICE_OBJECT fdo, PIRP irp) { return PassDown(fdo, irp, false); });
        function_.On(IRP_MJ_POWER, [this](PDEVICE_OBJECT fdo, PIRP irp) { return PassDown(fdo, irp, true); });
        function_.OnAny([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
        ASSERT_EQ(pnp().Plug(usb_->pdo(), function_.object(), &node_), STATUS_SUCCESS);
        Take();
    }

    void TearDown() override
    {
        if (handle_) emu::io::Close(handle_);
        if (node_ == 0) return;  // forgotten
        emu::NodeInfo info = pnp().Info(node_);
        if (info.surpriseRemoved) {
            EXPECT_TRUE(pnp().WaitRemoved(node_));
        } else if (!info.removed) {
            EXPECT_EQ(pnp().Disable(node_), STATUS_SUCCESS);
        }
    }

    void BringTo(NodeState state)
    {
        switch (state) {
        case NodeState::Started: break;
        case NodeState::Disabled: ASSERT_EQ(pnp().Disable(node_), STATUS_SUCCESS); break;
        case NodeState::UnpluggedAndHeldOpen:
            OpenStack();
            Unplug();
            break;
        case NodeState::RemovedAfterUnplug:
            Unplug();
            ASSERT_TRUE(pnp().WaitRemoved(node_));
            bus_.ReapRemovedDevices();  // the PDO is deleted
            break;
        }
        Take();
    }

    void OpenStack()
    {
        emu::io::OpenParameters open;
        open.name = u"\\Device\\Recorder";
        open.desiredAccess = emu::io::kGenericRead;
        emu::io::StatusBlock block{};
        ASSERT_EQ(emu::io::OpenFile(open, &handle_, &block), STATUS_SUCCESS);
    }

    void Unplug()
    {
        usb_->Unplug();
        ASSERT_EQ(pnp().Unplug(node_), STATUS_SUCCESS);
    }

    // What reached the function driver since the last call.
    Requests Take()
    {
        std::lock_guard lock(mutex_);
        return std::exchange(seen_, {});
    }

    emu::PnpManager& pnp() { return sys().pnp(); }

    emu::NodeId node_ = 0;
    emu::io::Handle handle_ = 0;

private:
    static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
    {
        static char16_t name[] = u"\\Device\\Recorder";
        UNICODE_STRING deviceName{sizeof name - sizeof(char16_t), sizeof name, name};
        PDEVICE_OBJECT fdo = nullptr;
        NTSTATUS status =
            IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
        if (!NT_SUCCESS(status)) return status;
        *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        return STATUS_SUCCESS;
    }

    NTSTATUS PassDown(PDEVICE_OBJECT fdo, PIRP irp, bool power)
    {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        {
            std::lock_guard lock(mutex_);
            seen_.emplace_back(sp->MajorFunction, sp->MinorFunction);
        }
        PDEVICE_OBJECT below = *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension);
        if (power) PoStartNextPowerIrp(irp);
        bool remove = !power && sp->MinorFunction == IRP_MN_REMOVE_DEVICE;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = power ? PoCallDriver(below, irp) : IoCallDriver(below, irp);
        if (remove) {
            IoDetachDevice(below);
            IoDeleteDevice(fdo);
        }
        return status;
    }

    emu::usb::CommandInstrument instrument_;
    std::mutex mutex_;
    Requests seen_;
    TestDriver function_{sys(), u"Recorder"};
    emu::usb::Bus bus_{sys()};
    emu::usb::UsbDevice* usb_ = &bus_.Plug(instrument_);
};

// ---- PnP sequences by node state ----

struct SequenceCase {
    const char* label;
    NodeState state;
    NTSTATUS (*run)(emu::PnpManager&, emu::NodeId);
    NTSTATUS expected;
    Requests reaching;  // at the function driver, in order
};

void PrintTo(const SequenceCase& c, std::ostream* out) { *out << c.label; }

NTSTATUS Rebalance(emu::PnpManager& pnp, emu::NodeId node) { return pnp.Rebalance(node); }
NTSTATUS CancelledStop(emu::PnpManager& pnp, emu::NodeId node) { return pnp.CancelledStop(node); }
NTSTATUS CancelledRemove(emu::PnpManager& pnp, emu::NodeId node) { return pnp.CancelledRemove(node); }
NTSTATUS Disable(emu::PnpManager& pnp, emu::NodeId node) { return pnp.Disable(node); }
NTSTATUS Enable(emu::PnpManager& pnp, emu::NodeId node) { return pnp.Enable(node); }
NTSTATUS Unplug(emu::PnpManager& pnp, emu::NodeId node) { return pnp.Unplug(node); }
NTSTATUS QueryState(emu::PnpManager& pnp, emu::NodeId node) { return pnp.Send(node, IRP_MN_QUERY_PNP_DEVICE_STATE); }

constexpr Request Pnp(UCHAR minor) { return {IRP_MJ_PNP, minor}; }

const SequenceCase kSequenceCases[] = {
    {"RebalanceOfAStartedNode",
     NodeState::Started,
     Rebalance,
     STATUS_SUCCESS,
     {Pnp(IRP_MN_QUERY_STOP_DEVICE), Pnp(IRP_MN_STOP_DEVICE), Pnp(IRP_MN_START_DEVICE)}},
    {"RebalanceOfADisabledNode", NodeState::Disabled, Rebalance, STATUS_INVALID_DEVICE_STATE, {}},
    {"RebalanceOfAnUnpluggedNodeHeldOpen", NodeState::UnpluggedAndHeldOpen, Rebalance, STATUS_INVALID_DEVICE_STATE, {}},
    {"RebalanceOfARemovedNode", NodeState::RemovedAfterUnplug, Rebalance, STATUS_NO_SUCH_DEVICE, {}},
    {"CancelledStopOfAnUnpluggedNodeHeldOpen",
     NodeState::UnpluggedAndHeldOpen,
     CancelledStop,
     STATUS_INVALID_DEVICE_STATE,
     {}},
    {"CancelledRemoveOfADisabledNode", NodeState::Disabled, CancelledRemove, STATUS_INVALID_DEVICE_STATE, {}},
    {"DisableOfAnUnpluggedNodeHeldOpen", NodeState::UnpluggedAndHeldOpen, Disable, STATUS_INVALID_DEVICE_STATE, {}},
    {"DisableOfARemovedNode", NodeState::RemovedAfterUnplug, Disable, STATUS_NO_SUCH_DEVICE, {}},
    {"EnableOfAStartedNode", NodeState::Started, Enable, STATUS_INVALID_DEVICE_STATE, {}},
    {"EnableOfARemovedNode", NodeState::RemovedAfterUnplug, Enable, STATUS_NO_SUCH_DEVICE, {}},
    {"UnplugOfAnUnpluggedNode", NodeState::UnpluggedAndHeldOpen, Unplug, STATUS_NO_SUCH_DEVICE, {}},
    {"RequestToARemovedNode", NodeState::RemovedAfterUnplug, QueryState, STATUS_NO_SUCH_DEVICE, {}},
};

class PnpSequenceTest : public PnpManagerTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(PnpSequenceTest, ReachesOnlyANodeThatCanTakeIt)
{
    const SequenceCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(BringTo(c.state));
    EXPECT_EQ(c.run(pnp(), node_), c.expected);
    EXPECT_EQ(Take(), c.reaching);
}

INSTANTIATE_TEST_SUITE_P(Cases, PnpSequenceTest, ::testing::ValuesIn(kSequenceCases),
                         [](const auto& info) { return std::string(info.param.label); });

// The host lets go of a node only once it has left the tree.
TEST_F(PnpManagerTest, ANodeIsForgottenOnlyOnceItHasLeftTheTree)
{
    EXPECT_FALSE(pnp().Forget(node_)) << "started";
    ASSERT_NO_FATAL_FAILURE(BringTo(NodeState::UnpluggedAndHeldOpen));
    EXPECT_FALSE(pnp().Forget(node_)) << "unplugged, its REMOVE held back by an open handle";
    ASSERT_EQ(emu::io::Close(std::exchange(handle_, 0)), STATUS_SUCCESS);
    ASSERT_TRUE(pnp().WaitRemoved(node_));
    EXPECT_TRUE(pnp().Forget(std::exchange(node_, 0)));
    EXPECT_EQ(pnp().Nodes(), std::vector<emu::NodeId>{});
}

// ---- system power ----

constexpr Request Power(UCHAR minor) { return {IRP_MJ_POWER, minor}; }
const Requests kSleepAndWake{Power(IRP_MN_QUERY_POWER), Power(IRP_MN_SET_POWER), Power(IRP_MN_SET_POWER)};

// The platform keeps a surprise-removed device in its power tree until its
// REMOVE: the driver has to answer system power there.
TEST_F(PnpManagerTest, SystemPowerReachesAnUnpluggedNodeUntilItsRemoval)
{
    ASSERT_NO_FATAL_FAILURE(BringTo(NodeState::UnpluggedAndHeldOpen));
    EXPECT_EQ(pnp().SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(pnp().SystemWake(), STATUS_SUCCESS);
    EXPECT_EQ(Take(), kSleepAndWake);

    ASSERT_EQ(emu::io::Close(std::exchange(handle_, 0)), STATUS_SUCCESS);
    ASSERT_TRUE(pnp().WaitRemoved(node_));
    Take();
    EXPECT_EQ(pnp().SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(pnp().SystemWake(), STATUS_SUCCESS);
    EXPECT_EQ(Take(), Requests{});
}

TEST_F(PnpManagerTest, SystemPowerSkipsADisabledNode)
{
    EXPECT_EQ(pnp().SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(pnp().SystemWake(), STATUS_SUCCESS);
    EXPECT_EQ(Take(), kSleepAndWake);
    ASSERT_NO_FATAL_FAILURE(BringTo(NodeState::Disabled));
    EXPECT_EQ(pnp().SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(pnp().SystemWake(), STATUS_SUCCESS);
    EXPECT_EQ(Take(), Requests{});
}

}  // namespace
}  // namespace tesmo::test
