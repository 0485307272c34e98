// The verifier's rules about spin locks, power IRPs, device stacks and hangs,
// each caught on a driver that breaks it on purpose, beside the sound use that
// must pass without a word.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <ostream>
#include <thread>

#include "SystemTest.h"
#include "TestDriver.h"
#include "emu/Devices.h"
#include "emu/Threads.h"

namespace tesmo::test {
namespace {

// Takes the one violation of `rule` the test provoked and returns its
// message; any violation of another rule is a failure too.
std::string ExpectOnly(emu::Verifier& verifier, emu::Rule rule)
{
    auto found = verifier.Take(rule);
    EXPECT_EQ(found.size(), 1u) << "rule " << emu::RuleName(rule);
    ExpectNoViolations(verifier);
    return found.empty() ? "" : found[0].message;
}

// ---- spin locks ----

struct SpinLockCase {
    const char* label;
    void (*run)(PKSPIN_LOCK lock);
    const char* fault;  // what the violation says; null for a sound use
};

void PrintTo(const SpinLockCase& c, std::ostream* out) { *out << c.label; }

const SpinLockCase kSpinLockCases[] = {
    {"SoundPairs",
     [](PKSPIN_LOCK lock) {
         KIRQL old;
         KeAcquireSpinLock(lock, &old);
         KeReleaseSpinLock(lock, old);
         emu::IrqlScope dispatch(DISPATCH_LEVEL);
         KeAcquireSpinLockAtDpcLevel(lock);
         KeReleaseSpinLockFromDpcLevel(lock);
     },
     nullptr},
    {"ReleasedByAnotherThread",
     [](PKSPIN_LOCK lock) {
         std::thread([lock] {
             emu::IrqlScope dispatch(DISPATCH_LEVEL);
             KeAcquireSpinLockAtDpcLevel(lock);
         }).join();
         emu::IrqlScope dispatch(DISPATCH_LEVEL);
         KeReleaseSpinLockFromDpcLevel(lock);
     },
     "KeReleaseSpinLockFromDpcLevel of a spin lock the thread does not hold"},
    {"ReleasedBelowDispatch",
     [](PKSPIN_LOCK lock) {
         {
             emu::IrqlScope dispatch(DISPATCH_LEVEL);
             KeAcquireSpinLockAtDpcLevel(lock);
         }
         KeReleaseSpinLock(lock, PASSIVE_LEVEL);
     },
     "KeReleaseSpinLock below DISPATCH_LEVEL"},
    {"AcquiredAtDpcLevelFromPassive",
     [](PKSPIN_LOCK lock) {
         KeAcquireSpinLockAtDpcLevel(lock);
         KeReleaseSpinLockFromDpcLevel(lock);
     },
     "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL"},
};

class SpinLockRuleTest : public SystemTest, public ::testing::WithParamInterface<SpinLockCase> {};

TEST_P(SpinLockRuleTest, ReportsExactlyTheMisuse)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    GetParam().run(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    if (!GetParam().fault) {
        ExpectNoViolations(sys().verifier());
        return;
    }
    EXPECT_EQ(ExpectOnly(sys().verifier(), emu::Rule::SpinLockMisuse), GetParam().fault);
}

INSTANTIATE_TEST_SUITE_P(Cases, SpinLockRuleTest, ::testing::ValuesIn(kSpinLockCases),
                         [](const auto& info) { return std::string(info.param.label); });

// The processor would spin for ever: the emulation reports it and stops.
TEST(SpinLockRecursionTest, AcquiringAHeldLockAgainStopsTheSystem)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            emu::System system(TestSystemOptions());
            system.verifier().SetHandler(
                [](const emu::Violation& v) { std::fprintf(stderr, "%s\n", emu::Describe(v).c_str()); });
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeAcquireSpinLockAtDpcLevel(&lock);
        },
        "rule SpinLockMisuse: spin lock acquired again by its owner");
}

// A device of `driver` attached on top of `below`, made by hand (as AddDevice
// does) so that the test, not TestDriver, decides when it goes.
NTSTATUS CreateAttachedDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT below, PDEVICE_OBJECT* created)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    IoAttachDeviceToDeviceStack(device, below);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (created) *created = device;
    return STATUS_SUCCESS;
}

class DeviceRulesTest : public SystemTest {
protected:
    std::string ExpectOnly(emu::Rule rule) { return test::ExpectOnly(sys().verifier(), rule); }

    TestDriver lower_{sys(), u"Lower"};
    TestDriver upper_{sys(), u"Upper"};
    PDEVICE_OBJECT lowerDevice_ = lower_.CreateDevice();
};

// ---- the cancel spin lock ----

class CancelRoutineTest : public DeviceRulesTest {
protected:
    // Sends a request the lower driver parks with `routine` as its cancel
    // routine, then cancels it.
    void CancelParkedRequest(PDRIVER_CANCEL routine)
    {
        lower_.OnAny([routine](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, routine);
            return STATUS_PENDING;
        });
        TopLevelIrp request(lowerDevice_, IRP_MJ_READ);
        ASSERT_EQ(request.Send(), STATUS_PENDING);
        EXPECT_TRUE(IoCancelIrp(request.irp()));
        // A routine that kept the lock left this thread holding it.
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) IoReleaseCancelSpinLock(request.irp()->CancelIrql);
        ASSERT_TRUE(request.completed());
        EXPECT_EQ(request.finalStatus(), STATUS_CANCELLED);
    }
};

TEST_F(CancelRoutineTest, RoutineThatReleasesTheCancelLockIsClean)
{
    CancelParkedRequest([](PDEVICE_OBJECT, PIRP irp) NTAPI {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        CompleteIrp(irp, STATUS_CANCELLED);
    });
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(CancelRoutineTest, RoutineThatKeepsTheCancelLockIsReported)
{
    CancelParkedRequest([](PDEVICE_OBJECT, PIRP irp) NTAPI { CompleteIrp(irp, STATUS_CANCELLED); });
    EXPECT_EQ(ExpectOnly(emu::Rule::SpinLockMisuse),
              "a cancel routine returned without releasing the cancel spin lock");
}

// ---- power IRPs ----

NTSTATUS FinishPowerIrp(PIRP irp)
{
    PoStartNextPowerIrp(irp);
    return CompleteIrp(irp, STATUS_SUCCESS);
}

class PowerRulesTest : public DeviceRulesTest {
protected:
    // Asks the power manager for D3 on the stack and waits for the IRP to end.
    void RequestD3AndWait(PDEVICE_OBJECT device)
    {
        RequestD3(device);
        sys().power().WaitIdle();
    }
    void RequestD3(PDEVICE_OBJECT device)
    {
        POWER_STATE state{};
        state.DeviceState = PowerDeviceD3;
        ASSERT_EQ(PoRequestPowerIrp(device, IRP_MN_SET_POWER, state, nullptr, nullptr, nullptr), STATUS_PENDING);
    }
    // An upper device that passes power IRPs down with `callDown`, over a
    // lower device that finishes them.
    PDEVICE_OBJECT StackPassingDownWith(NTSTATUS (*callDown)(PDEVICE_OBJECT, PIRP))
    {
        lower_.On(IRP_MJ_POWER, [](PDEVICE_OBJECT, PIRP irp) { return FinishPowerIrp(irp); });
        upper_.On(IRP_MJ_POWER, [this, callDown](PDEVICE_OBJECT, PIRP irp) {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return callDown(lowerDevice_, irp);
        });
        return upper_.CreateDevice(lowerDevice_);
    }
    // The lower device holds the IRP; the watchdog is one second.
    void HoldPowerIrps()
    {
        sys().power().SetWatchdog(emu::kSecond);
        KeInitializeEvent(&arrived_, NotificationEvent, FALSE);
        lower_.On(IRP_MJ_POWER, [this](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            held_ = irp;
            KeSetEvent(&arrived_, IO_NO_INCREMENT, FALSE);
            return STATUS_PENDING;
        });
    }
    void WaitArrived() { KeWaitForSingleObject(&arrived_, Executive, KernelMode, FALSE, nullptr); }

    KEVENT arrived_;
    PIRP held_ = nullptr;
};

TEST_F(PowerRulesTest, PassedDownWithPoCallDriverIsClean)
{
    RequestD3AndWait(StackPassingDownWith([](PDEVICE_OBJECT below, PIRP irp) { return PoCallDriver(below, irp); }));
    auto history = sys().power().History();
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(history.back().kind, emu::PowerEvent::Kind::DeviceIrpCompleted);
    EXPECT_EQ(history.back().status, STATUS_SUCCESS);
}

TEST_F(PowerRulesTest, PassedDownWithIoCallDriverIsReported)
{
    RequestD3AndWait(StackPassingDownWith([](PDEVICE_OBJECT below, PIRP irp) { return IoCallDriver(below, irp); }));
    EXPECT_EQ(ExpectOnly(emu::Rule::PowerIrpNotPoCallDriver), "a power IRP passed down with IoCallDriver");
}

TEST_F(PowerRulesTest, CompletedWithoutStartingTheNextIsReported)
{
    lower_.On(IRP_MJ_POWER, [](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    RequestD3AndWait(lowerDevice_);
    EXPECT_EQ(ExpectOnly(emu::Rule::PowerIrpMissingStartNext), "a power IRP completed without PoStartNextPowerIrp");
}

TEST_F(PowerRulesTest, FinishedJustBeforeTheWatchdogIsClean)
{
    HoldPowerIrps();
    RequestD3(lowerDevice_);
    WaitArrived();
    sys().clock().AdvanceBy(emu::kSecond - emu::kMillisecond);
    FinishPowerIrp(held_);
    sys().power().WaitIdle();
    sys().clock().AdvanceBy(emu::kSecond);  // a watchdog left armed would fire here
}

TEST_F(PowerRulesTest, HeldPastTheWatchdogIsReported)
{
    HoldPowerIrps();
    RequestD3(lowerDevice_);
    WaitArrived();
    sys().clock().AdvanceBy(emu::kSecond);
    std::string message = ExpectOnly(emu::Rule::PowerIrpWatchdog);
    EXPECT_NE(message.find("for D3 was not finished within the power watchdog"), std::string::npos) << message;
    FinishPowerIrp(held_);
    sys().power().WaitIdle();
}

// ---- device stacks ----

TEST_F(DeviceRulesTest, DeletingADeviceStillAttachedIsReported)
{
    PDEVICE_OBJECT upper = nullptr;
    ASSERT_EQ(CreateAttachedDevice(upper_.object(), lowerDevice_, &upper), STATUS_SUCCESS);
    ObReferenceObject(upper);  // keeps the object while the stack is mended below
    IoDeleteDevice(upper);
    EXPECT_EQ(ExpectOnly(emu::Rule::DeviceDeletedWhileAttached),
              "IoDeleteDevice on a device still attached to the device below it");
    IoDetachDevice(lowerDevice_);
    ObDereferenceObject(upper);
}

// What the power manager recorded about a device goes with the device's
// memory: a device made later at the same address must not inherit it.
TEST_F(DeviceRulesTest, ADeletedDeviceLeavesNoPowerRecords)
{
    PDEVICE_OBJECT upper = upper_.CreateDevice();
    POWER_STATE d3{};
    d3.DeviceState = PowerDeviceD3;
    PoSetPowerState(upper, DevicePowerState, d3);
    ASSERT_EQ(sys().power().AnnouncedDeviceState(upper), PowerDeviceD3);
    ASSERT_EQ(sys().power().History().size(), 1u);
    upper_.DeleteDevices();
    EXPECT_EQ(sys().power().AnnouncedDeviceState(upper), 0);
    EXPECT_TRUE(sys().power().History().empty());
}

// A PDO of a bus played by the lower test driver, with a function driver
// whose AddDevice attaches to it, plugged in through the PnP manager.
class SurpriseRemovalTest : public DeviceRulesTest {
protected:
    void SetUp() override
    {
        DeviceRulesTest::SetUp();
        emu::SetDeviceInstancePath(lowerDevice_, u"TEST\\VERIFIER\\1");
        lower_.On(IRP_MJ_PNP, [](PDEVICE_OBJECT, PIRP irp) {
            UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
            bool handled =
                minor == IRP_MN_START_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE;
            return CompleteIrp(irp, handled ? STATUS_SUCCESS : irp->IoStatus.Status);
        });
        upper_.object()->DriverExtension->AddDevice = [](PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
                                                          NTAPI { return CreateAttachedDevice(driver, pdo, nullptr); };
    }
    // Plugs the stack in with a function driver that runs `onSurpriseRemoval`
    // before passing SURPRISE_REMOVAL down, then unplugs it and waits for the
    // REMOVE that follows.
    void PlugAndUnplug(std::function<void(PDEVICE_OBJECT fdo)> onSurpriseRemoval)
    {
        PDEVICE_OBJECT pdo = lowerDevice_;
        upper_.On(IRP_MJ_PNP, [pdo, onSurpriseRemoval](PDEVICE_OBJECT fdo, PIRP irp) {
            UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
            if (minor == IRP_MN_SURPRISE_REMOVAL) onSurpriseRemoval(fdo);
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(pdo, irp);
            if (minor == IRP_MN_REMOVE_DEVICE) {
                IoDetachDevice(pdo);
                IoDeleteDevice(fdo);
            }
            return status;
        });
        emu::NodeId node = 0;
        ASSERT_EQ(sys().pnp().Plug(pdo, upper_.object(), &node), STATUS_SUCCESS);
        fdo_ = sys().pnp().Info(node).fdo;
        ASSERT_NE(fdo_, nullptr);
        EXPECT_EQ(sys().pnp().Unplug(node), STATUS_SUCCESS);
        ASSERT_TRUE(sys().pnp().WaitRemoved(node));
    }

    PDEVICE_OBJECT fdo_ = nullptr;
};

TEST_F(SurpriseRemovalTest, TearingDownOnRemoveIsClean)
{
    PlugAndUnplug([](PDEVICE_OBJECT) {});
    EXPECT_EQ(lowerDevice_->AttachedDevice, nullptr);
}

TEST_F(SurpriseRemovalTest, DetachingDuringSurpriseRemovalIsReported)
{
    PDEVICE_OBJECT pdo = lowerDevice_;
    PlugAndUnplug([pdo](PDEVICE_OBJECT) { IoDetachDevice(pdo); });
    EXPECT_EQ(ExpectOnly(emu::Rule::DetachOrDeleteDuringSurpriseRemoval),
              "IoDetachDevice while the stack handles IRP_MN_SURPRISE_REMOVAL (wait for IRP_MN_REMOVE_DEVICE)");
    // Detached early, the device never saw the REMOVE: delete it now that the
    // removal is over, as a sound driver would have on REMOVE.
    IoDeleteDevice(fdo_);
}

// ---- hangs ----

emu::SystemOptions ShortWatchdogOptions()
{
    emu::SystemOptions options = TestSystemOptions();
    options.watchdog = std::chrono::milliseconds(20);
    return options;
}

TEST(WaitWatchdogTest, AConditionThatNeverComesTrueIsReportedByName)
{
    emu::System system(ShortWatchdogOptions());
    EXPECT_FALSE(emu::WaitUntil([] { return false; }, "a flag nobody sets"));
    auto found = system.verifier().Take(emu::Rule::WaitWatchdog);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].message.rfind("waited longer than the watchdog for a flag nobody sets", 0), 0u)
        << found[0].message;
    system.Shutdown();
    ExpectNoViolations(system.verifier());
}

// A kernel wait nobody ends is a hang: the emulation names the waiting thread
// and what it waits on, then stops.
TEST(WaitWatchdogTest, AKernelWaitNobodyEndsStopsTheSystem)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            emu::SetThreadName("stuck");
            emu::System system(ShortWatchdogOptions());
            system.verifier().SetHandler(
                [](const emu::Violation& v) { std::fprintf(stderr, "%s\n", emu::Describe(v).c_str()); });
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "rule WaitWatchdog: thread 'stuck' waited longer than the watchdog on ");
}

}  // namespace
}  // namespace tesmo::test
