// Power: system requests turned into device requests by the state map, the
// queue held while the device's power changes, USB traffic drained before the
// device goes down, and the faults of the power path that are mended.
#include <gtest/gtest.h>

#include <thread>

#include "DeviceTest.h"
#include "EventLog.h"
#include "EventLogReader.h"
#include "TraceRecorder.h"
#include "Win32Handles.h"
#include "emu/WorkQueues.h"

namespace tesmo::test {
namespace {

using Kind = emu::PowerEvent::Kind;

class PowerTest : public StartedPortOf<emu::usb::ScriptedDevice>, protected Win32Handles {
protected:
    NTSTATUS System(UCHAR minor, SYSTEM_POWER_STATE state)
    {
        NTSTATUS status = sys().power().SendSystemPowerIrp(fdo(), minor, state);
        sys().power().WaitIdle();
        return status;
    }
    // The device power requests the driver asked for, as (minor, D-state).
    std::vector<std::pair<int, int>> DeviceRequests()
    {
        std::vector<std::pair<int, int>> requests;
        for (auto& e : sys().power().History()) {
            if (e.kind == Kind::DeviceIrpRequested) requests.emplace_back(e.minor, e.state);
        }
        return requests;
    }
    // A control request on an overlapped handle to a port that must fail it
    // at once: 0 when it was served, else its error. One that was held
    // instead (ERROR_IO_PENDING) is cancelled, so that the test can end.
    DWORD ControlError(HANDLE handle, DWORD code)
    {
        OVERLAPPED overlapped = NewOverlapped();
        ULONG value = 0;
        DWORD bytes = 0;
        BOOL ok = DeviceIoControl(handle, code, nullptr, 0, &value, sizeof value, &bytes, &overlapped);
        DWORD error = ok ? 0 : GetLastError();
        if (error == ERROR_IO_PENDING) {
            CancelIo(handle);
            GetOverlappedResult(handle, &overlapped, &bytes, TRUE);
        }
        return error;
    }
    // A read that waits on the instrument, on a thread of its own.
    std::thread StartRead(HANDLE handle)
    {
        return std::thread([handle] {
            char buffer[10];
            DWORD got = 0;
            ReadFile(handle, buffer, sizeof buffer, &got, nullptr);
        });
    }
};

// ---- a port that is going away stays failing ----

struct FailingGateCase {
    const char* label;
    UCHAR minor;
    DEVICE_POWER_STATE state;
};
void PrintTo(const FailingGateCase& c, std::ostream* out) { *out << c.label; }

class PowerOnARemovedPort : public PowerTest, public ::testing::WithParamInterface<FailingGateCase> {};

// Power requests still reach a surprise-removed port that a handle keeps:
// none of them may hold or reopen the queue the removal failed.
TEST_P(PowerOnARemovedPort, LeavesTheQueueFailing)
{
    HANDLE handle = OpenPort(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    stack().Unplug();
    ASSERT_EQ(ReadQueueState(ext()), ULONG(FailRequests));
    RequestPower(GetParam().minor, GetParam().state);
    EXPECT_EQ(ReadQueueState(ext()), ULONG(FailRequests));

    DWORD error = ControlError(handle, IOCTL_SERIAL_GET_BAUD_RATE);
    EXPECT_NE(error, 0u) << "served by a removed port";
    EXPECT_NE(error, DWORD(ERROR_IO_PENDING)) << "held by a removed port";
    Close(handle);
    EXPECT_TRUE(pnp().WaitRemoved(node()));
}

INSTANTIATE_TEST_SUITE_P(Requests, PowerOnARemovedPort,
                         ::testing::Values(FailingGateCase{"query_d3", IRP_MN_QUERY_POWER, PowerDeviceD3},
                                           FailingGateCase{"set_d0", IRP_MN_SET_POWER, PowerDeviceD0}),
                         [](const auto& info) { return std::string(info.param.label); });

// The race: a shutdown arrives while the return to D0 is still in the bus,
// and its own way down to D3 waits for a read in flight. The shutdown may
// reach the bus only after the device request it waits for.
TEST_F(PowerTest, AShutdownKeptDuringAReturnToD0WaitsForItsOwnDeviceRequest)
{
    HANDLE handle = OpenPort();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::thread reader = StartRead(handle);
    emu::WaitUntil([&] { return usb().PendingTransfers() == 1; }, "the read to wait on the bus");

    TraceRecorder trace(sys());
    auto held = usb().Arm(emu::usb::HoldPoint::PowerReceived, IRP_MN_SET_POWER);
    std::thread wake([&] { sys().power().SendSystemPowerIrp(fdo(), IRP_MN_SET_POWER, PowerSystemWorking); });
    held->WaitUntilHeld();  // S0 on its way down
    auto d0 = usb().Arm(emu::usb::HoldPoint::PowerReceived, IRP_MN_SET_POWER);
    held->Release();
    d0->WaitUntilHeld();  // the D0 request S0 asked for
    std::thread shutdown([&] { sys().power().SendSystemPowerIrp(fdo(), IRP_MN_SET_POWER, PowerSystemShutdown); });
    emu::WaitUntil([&] { return !EventsTagged(ext(), "WIo>").empty(); }, "the D3 request to wait for USB quiet");

    auto next = usb().Arm(emu::usb::HoldPoint::PowerReceived, IRP_MN_SET_POWER);
    d0->Release();
    emu::WaitUntil([&] { return !trace.Matching("SetDStateCompletionRoutine EXIT").empty(); },
                   "the D0 request to finish");
    sys().clock().AdvanceBy(5 * emu::kSecond);  // the bound cancels the read; D3 goes on
    next->WaitUntilHeld();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(next->irp());
    EXPECT_EQ(stack->Parameters.Power.Type, DevicePowerState) << "the shutdown went down before the device's D3";
    EXPECT_EQ(stack->Parameters.Power.State.DeviceState, PowerDeviceD3);
    next->Release();
    shutdown.join();
    wake.join();
    reader.join();
    EXPECT_EQ(ext()->PendingSystemPowerIrp, nullptr);
}

// Two device requests that both have to wait for USB quiet: the first takes
// the power path's work item, the second finds it taken and waits in its own
// thread; both go on once the read in flight is cancelled.
TEST_F(PowerTest, ASecondWaitForUsbQuietDoesNotQueueTheBusyWorkItemAgain)
{
    HANDLE handle = OpenPort();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::thread reader = StartRead(handle);
    emu::WaitUntil([&] { return usb().PendingTransfers() == 1; }, "the read to wait on the bus");
    TraceRecorder trace(sys());
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    ASSERT_EQ(PoRequestPowerIrp(fdo(), IRP_MN_QUERY_POWER, d3, nullptr, nullptr, nullptr), STATUS_PENDING);
    ASSERT_EQ(PoRequestPowerIrp(fdo(), IRP_MN_SET_POWER, d3, nullptr, nullptr, nullptr), STATUS_PENDING);
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 3; }, "both requests and the read to wait");
    EXPECT_FALSE(trace.Matching("work item busy, waiting in the caller").empty());
    sys().clock().AdvanceBy(5 * emu::kSecond);
    sys().power().WaitIdle();
    reader.join();
    EXPECT_EQ(usb().CurrentDeviceState(), PowerDeviceD3);
    emu::DrainWorkQueues();  // the item lets go of its mark after the request it passed down
    EXPECT_EQ(ext()->WorkItemQueued, 0);
}

// A bus that completes power requests at PASSIVE_LEVEL on its own thread:
// the requests held while the port slept are served from a work item, not
// inside the completion, where their transfers would wait for the very
// thread that runs it.
TEST_F(PowerTest, HeldRequestsAreServedOutsideTheCompletionOfTheReturnToD0)
{
    Replug({.powerCompletionIrql = PASSIVE_LEVEL});
    HANDLE handle = OpenPort(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_EQ(pnp().SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    OVERLAPPED control = NewOverlapped();
    char character = '!';
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(handle, IOCTL_SERIAL_IMMEDIATE_CHAR, &character, 1, nullptr, 0, &bytes, &control));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_EQ(pnp().SystemWake(), STATUS_SUCCESS);
    EXPECT_TRUE(GetOverlappedResult(handle, &control, &bytes, TRUE));
}

struct QueryCase {
    const char* label;
    DEVICE_POWER_STATE mappedForS3;
    DEVICE_POWER_STATE expected;
};
void PrintTo(const QueryCase& c, std::ostream* out) { *out << c.label; }

class SystemQueryMapping : public PowerTest, public ::testing::WithParamInterface<QueryCase> {
protected:
    emu::usb::DeviceConfig Config() const override
    {
        emu::usb::DeviceConfig config;
        config.capabilities.deviceState[PowerSystemSleeping3] = GetParam().mappedForS3;
        return config;
    }
};

TEST_P(SystemQueryMapping, SystemQueryBecomesADeviceQueryForTheMappedState)
{
    EXPECT_EQ(System(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(DeviceRequests(), (std::vector<std::pair<int, int>>{{IRP_MN_QUERY_POWER, GetParam().expected}}));
    EXPECT_EQ(ReadQueueState(ext()), ULONG(HoldRequests));
    EXPECT_EQ(ext()->RemoveLockCount, 0);
}

INSTANTIATE_TEST_SUITE_P(Maps, SystemQueryMapping,
                         ::testing::Values(QueryCase{"default_map", PowerDeviceD3, PowerDeviceD3},
                                           QueryCase{"d2_for_s3", PowerDeviceD2, PowerDeviceD2}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(PowerTest, FailedSystemQueryCompletesUpwardWithoutADeviceQuery)
{
    usb().FailPower(IRP_MN_QUERY_POWER, SystemPowerState, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(System(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(DeviceRequests().empty());
    EXPECT_EQ(ReadQueueState(ext()), ULONG(AllowRequests));
    EXPECT_EQ(ext()->PendingSystemPowerIrp, nullptr);
    EXPECT_EQ(ext()->RemoveLockCount, 0);
}

TEST_F(PowerTest, SetS0RequestsD0EvenWhenTheLowerDriversFailIt)
{
    usb().FailPower(IRP_MN_SET_POWER, SystemPowerState, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(DeviceRequests(), (std::vector<std::pair<int, int>>{{IRP_MN_SET_POWER, PowerDeviceD0}}));
    EXPECT_EQ(systemPowerState(), PowerSystemWorking);
    EXPECT_EQ(devicePowerState(), PowerDeviceD0);
}

TEST_F(PowerTest, SetSxRecordsTheSystemStateBeforeTheDeviceRequestAndTheFirstLineShowsSMinus1)
{
    TraceRecorder trace(sys());
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_TRUE(trace.Contains("Power.c:HandleSystemSetPower ENTRY to state S4 (current state = S-1\n"));
    EXPECT_EQ(systemPowerState(), PowerSystemHibernate);
    // The device request already saw S4 (5) in the state word.
    auto set = EventsTagged(ext(), "HDS>");
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].systemState(), 5u);
    EXPECT_EQ(set[0].value2, ULONG64(PowerDeviceD3));
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_TRUE(trace.Contains("Power.c:HandleSystemSetPower ENTRY to state S0 (current state = S4\n"));
}

TEST_F(PowerTest, ADeviceQueryForD0StillHoldsTheQueue)
{
    EXPECT_EQ(RequestPower(IRP_MN_QUERY_POWER, PowerDeviceD0), STATUS_PENDING);
    EXPECT_EQ(ReadQueueState(ext()), ULONG(HoldRequests));
    RequestPower(IRP_MN_SET_POWER, PowerDeviceD0);
    EXPECT_EQ(ReadQueueState(ext()), ULONG(AllowRequests));
}

TEST_F(PowerTest, SetD3IsAnnouncedAndRecordedBeforeTheLowerDriversSeeIt)
{
    EXPECT_EQ(RequestPower(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_PENDING);
    EXPECT_EQ(devicePowerState(), PowerDeviceD3);
    EXPECT_EQ(usb().CurrentDeviceState(), PowerDeviceD3);
    auto history = sys().power().History();
    auto announced = std::find_if(history.begin(), history.end(),
                                  [](auto& e) { return e.kind == Kind::SetPowerState && e.state == PowerDeviceD3; });
    auto completed =
        std::find_if(history.begin(), history.end(), [](auto& e) { return e.kind == Kind::DeviceIrpCompleted; });
    ASSERT_NE(announced, history.end());
    EXPECT_LT(announced - history.begin(), completed - history.begin());
    auto request = EventsTagged(ext(), "SDc>");
    ASSERT_EQ(request.size(), 1u);
    EXPECT_EQ(request[0].deviceState(), ULONG(PowerDeviceD3));
    RequestPower(IRP_MN_SET_POWER, PowerDeviceD0);
}

TEST_F(PowerTest, D0WhileStoppedReopensTheQueueWithoutDraining)
{
    HoldQueue();
    pnp().Send(node(), IRP_MN_STOP_DEVICE);
    HANDLE handle = OpenPort(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped = NewOverlapped();
    ULONG baud;
    DWORD bytes;
    EXPECT_FALSE(DeviceIoControl(handle, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, 4, &bytes, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    RequestPower(IRP_MN_SET_POWER, PowerDeviceD0);
    EXPECT_EQ(ReadQueueState(ext()), ULONG(AllowRequests));
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), DWORD(WAIT_TIMEOUT));
    CancelIo(handle);
    EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    pnp().Send(node(), IRP_MN_START_DEVICE);
}

// ---- the mended faults ----

TEST_F(PowerTest, RefusedDeviceQueryFinishesTheSystemQueryOnce)
{
    sys().power().RefuseRequests(1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(System(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ext()->PendingSystemPowerIrp, nullptr);
    EXPECT_EQ(ext()->RemoveLockCount, 0);
}

TEST_F(PowerTest, RefusedDeviceSetPowerPassesTheSystemRequestOn)
{
    sys().power().RefuseRequests(1, STATUS_INSUFFICIENT_RESOURCES);
    TraceRecorder trace(sys());
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(trace.Contains("Power.c:HandleSystemSetPower-PoRequestPowerIrp returned status 0xc000009a\n"));
    EXPECT_EQ(ext()->PendingSystemPowerIrp, nullptr);
    EXPECT_EQ(ext()->RemoveLockCount, 0);
}

TEST_F(PowerTest, SystemStateMappedToD0PassesTheSystemRequestOnOnce)
{
    emu::usb::DeviceConfig config;
    config.capabilities.deviceState[PowerSystemSleeping1] = PowerDeviceD0;
    Replug(config);
    EXPECT_EQ(System(IRP_MN_SET_POWER, PowerSystemSleeping1), STATUS_SUCCESS);
    unsigned systemSets = 0;
    for (auto& record : usb().PowerLog()) {
        if (record.minor == IRP_MN_SET_POWER && record.type == SystemPowerState) ++systemSets;
    }
    EXPECT_EQ(systemSets, 1u);
    EXPECT_EQ(ext()->PendingSystemPowerIrp, nullptr);
    EXPECT_EQ(ext()->RemoveLockCount, 0);
}

// The return to D0 completes on the bus at DISPATCH_LEVEL: the held requests
// are served from a work item, where their USB transfers may be waited for.
TEST_F(PowerTest, ReturnToD0ServesHeldRequestsFromAContextThatMayWait)
{
    HANDLE handle = OpenPort(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(pnp().SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    OVERLAPPED overlapped = NewOverlapped();
    // A status query reads ahead from the instrument: a USB transfer.
    SERIAL_STATUS status{};
    DWORD bytes = 0;
    EXPECT_FALSE(
        DeviceIoControl(handle, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status, &bytes, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_EQ(pnp().SystemWake(), STATUS_SUCCESS);
    // The read-ahead waits 2 ms for a packet that does not come.
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 1; }, "the read-ahead to wait");
    sys().clock().AdvanceBy(2 * emu::kMillisecond);
    EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, sizeof(SERIAL_STATUS));
}

// ---- sleep and resume end to end ----

class SleepTest : public PowerTest {
protected:
    void SetUp() override
    {
        PowerTest::SetUp();
        handle_ = OpenPort(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    }
    // A read on the overlapped handle; the driver completes it before returning.
    BOOL Read(char* buffer, DWORD length, DWORD* got)
    {
        OVERLAPPED overlapped = NewOverlapped();
        BOOL ok = ReadFile(handle_, buffer, length, got, &overlapped);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(handle_, &overlapped, got, TRUE);
        return ok;
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// An application's read waits on the instrument while the system goes to
// sleep: the device query waits for it; the read ends when the packet comes;
// a control request sent meanwhile is held and served after the return to S0.
TEST_F(SleepTest, ReadInFlightAndHeldRequestAcrossSleepAndResume)
{
    // The driver serves a read in the caller's thread: the application's reader.
    char buffer[8];
    DWORD got = 0;
    BOOL readOk = FALSE;
    std::thread reader([&] { readOk = Read(buffer, sizeof buffer, &got); });
    emu::WaitUntil([&] { return usb().PendingTransfers() == 1; }, "the read to wait on the bus");

    NTSTATUS sleep = STATUS_PENDING;
    std::thread system([&] { sleep = pnp().SystemSleep(PowerSystemSleeping3); });
    // The device query waits in a work item for USB quiet (bounded).
    emu::WaitUntil([&] { return !EventsTagged(ext(), "WIo>").empty(); }, "the power wait to start");
    EXPECT_EQ(ReadQueueState(ext()), ULONG(HoldRequests));
    OVERLAPPED control = NewOverlapped();
    ULONG baud = 0;
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(handle_, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, 4, &bytes, &control));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));

    instrument().Packet("reply");
    reader.join();
    EXPECT_TRUE(readOk);
    EXPECT_EQ(std::string(buffer, got), "reply");
    system.join();
    EXPECT_EQ(sleep, STATUS_SUCCESS);
    EXPECT_EQ(devicePowerState(), PowerDeviceD3);
    EXPECT_EQ(WaitForSingleObject(control.hEvent, 0), DWORD(WAIT_TIMEOUT));

    EXPECT_EQ(pnp().SystemWake(), STATUS_SUCCESS);
    EXPECT_TRUE(GetOverlappedResult(handle_, &control, &bytes, TRUE));
    EXPECT_EQ(baud, 0x00020000u);

    // The log tells the story: the wait, the queue held at the device query,
    // the request seen twice, the return to D0 with the queue open again.
    emu::DrainWorkQueues();
    auto controls = EventsTagged(ext(), "Ioc>");
    ASSERT_EQ(controls.size(), 2u);
    EXPECT_EQ(controls[0].queueState(), ULONG(HoldRequests));
    EXPECT_EQ(controls[1].queueState(), ULONG(AllowRequests));
    auto waits = EventsTagged(ext(), "WIo<");
    ASSERT_FALSE(waits.empty());
    EXPECT_EQ(waits[0].value1, 0u);  // USB quiet came before the bound
    auto d0 = EventsTagged(ext(), "SDc>");
    ASSERT_EQ(d0.size(), 2u);
    EXPECT_EQ(d0[1].value2, ULONG64(PowerDeviceD0));
}

// A long read the instrument never answers cannot keep the machine awake:
// after the bound its transfer is cancelled and the sleep goes on. Twice in
// a row: the first cycle's wait does not delay the second.
TEST_F(SleepTest, TwoSleepCyclesWithAnUnansweredReadEachTime)
{
    for (int cycle = 0; cycle < 2; ++cycle) {
        char buffer[200];
        DWORD got = 0;
        BOOL readOk = TRUE;
        DWORD readError = 0;
        std::thread reader([&] {
            readOk = Read(buffer, sizeof buffer, &got);
            readError = GetLastError();
        });
        emu::WaitUntil([&] { return usb().PendingTransfers() == 1; }, "the read to wait on the bus");
        NTSTATUS sleep = STATUS_PENDING;
        std::thread system([&] { sleep = pnp().SystemSleep(PowerSystemSleeping3); });
        // The read waits on the clock too (for its 120 s limit).
        emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 2; }, "the power wait to start");
        sys().clock().AdvanceBy(5 * emu::kSecond);
        reader.join();
        EXPECT_FALSE(readOk);
        EXPECT_EQ(readError, DWORD(ERROR_OPERATION_ABORTED)) << "cycle " << cycle;
        system.join();
        EXPECT_EQ(sleep, STATUS_SUCCESS);
        EXPECT_EQ(pnp().SystemWake(), STATUS_SUCCESS);
        EXPECT_EQ(ReadQueueState(ext()), ULONG(AllowRequests));
    }
    EXPECT_EQ(ext()->RemoveLockCount, 0);
}

// The sleep reaches the surprise-removed port its open handle keeps: a
// control request is failed while asleep and after the wake, never held or
// served again.
TEST_F(SleepTest, SleepAfterASurpriseRemovalLeavesNothingBehind)
{
    stack().Unplug();
    auto control = [&] { return ControlError(handle_, IOCTL_SERIAL_GET_MODEMSTATUS); };
    EXPECT_EQ(pnp().SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(ReadQueueState(ext()), ULONG(FailRequests));
    EXPECT_EQ(control(), DWORD(ERROR_ACCESS_DENIED)) << "a removed port held or served a request while asleep";
    EXPECT_EQ(pnp().SystemWake(), STATUS_SUCCESS);
    EXPECT_EQ(control(), DWORD(ERROR_ACCESS_DENIED)) << "a removed port served a request after the wake";
    Close(handle_);
    EXPECT_TRUE(pnp().WaitRemoved(node()));
}

// The state word of the event log packs the queue, PnP, system and device
// states, a byte each: here a port asleep, then pulled out.
TEST_F(SleepTest, TheStateWordPacksTheFourStates)
{
    ASSERT_EQ(pnp().SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    stack().Unplug();
    EXPECT_EQ(DeviceStateWord(ext()), 0x02050404u);
}

}  // namespace
}  // namespace tesmo::test
