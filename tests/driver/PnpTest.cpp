// Plug and Play: the port's publication at start and its withdrawal, the
// stop and removal negotiations row by row, the capabilities query, and the
// faults of the start that are mended.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "DeviceTest.h"
#include "TestDriver.h"
#include "TraceRecorder.h"
#include "Win32Handles.h"
#include "emu/DeviceInterfaces.h"
#include "emu/Namespace.h"
#include "emu/Registry.h"
#include "emu/Threads.h"

namespace tesmo::test {
namespace {

// The test plugs the instrument in itself, after what it wants to see first.
class PnpTest : public BusDeviceTest, protected Win32Handles {
protected:
    void Plug() { ASSERT_EQ(stack().Plug(), STATUS_SUCCESS); }
    NTSTATUS Send(UCHAR minor)
    {
        DEVICE_CAPABILITIES capabilities{};
        capabilities.Version = 1;
        capabilities.Size = sizeof capabilities;
        return pnp().Send(node(), minor, [&](PIO_STACK_LOCATION sp) {
            if (minor == IRP_MN_QUERY_CAPABILITIES) sp->Parameters.DeviceCapabilities.Capabilities = &capabilities;
        });
    }

    bool Published()
    {
        auto link = emu::SymbolicLinkTarget(u"\\DosDevices\\COM3");
        auto map = emu::DeviceMapValues(u"SERIALCOMM");
        auto interfaces = emu::DeviceInterfacesOf(usb().pdo());
        return link && map.count(u"\\Device\\Tesmo1") && !interfaces.empty() && interfaces[0].enabled;
    }
    bool Withdrawn()
    {
        auto interfaces = emu::DeviceInterfacesOf(usb().pdo());
        return !emu::SymbolicLinkTarget(u"\\DosDevices\\COM3") && emu::DeviceMapValues(u"SERIALCOMM").empty() &&
               (interfaces.empty() || !interfaces[0].enabled);
    }
};

TEST_F(PnpTest, StartPublishesThePortExactly)
{
    TraceRecorder trace(sys());
    Plug();
    EXPECT_EQ(emu::SymbolicLinkTarget(u"\\DosDevices\\COM3"), u"\\Device\\Tesmo1");
    auto map = emu::DeviceMapValues(u"SERIALCOMM");
    ASSERT_EQ(map.size(), 1u);
    const emu::RegistryValue& value = map.at(u"\\Device\\Tesmo1");
    EXPECT_EQ(value.type, REG_SZ);
    EXPECT_EQ(value.data.size(), 10u);  // "COM3" and its terminator
    EXPECT_EQ(value.Text(), u"COM3");
    auto interfaces = emu::DeviceInterfacesOf(usb().pdo());
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(ext()->PnpState, ULONG(Working));
    EXPECT_EQ(ReadQueueState(ext()), ULONG(AllowRequests));
    EXPECT_EQ(ext()->ReadTotalTimeoutConstant, 120000u);
    EXPECT_EQ(ext()->ReadTotalTimeoutMultiplier, 0u);
    EXPECT_TRUE(trace.Contains("Pnp.c: HandleStartDevice ENTRY\n"));
    EXPECT_TRUE(trace.Contains("Pnp.c:HandleStartDevice changing PnP state from NotStarted to Working\n"));
    EXPECT_TRUE(trace.Contains("Pnp.c:HandleStartDevice-changing QueueState to AllowRequests (1)\n"));
    EXPECT_TRUE(trace.Contains("Pnp.c:HandleStartDevice EXIT = 0x0\n"));
    // The start and the capabilities query come back through the traced
    // completion routine; the start's USB requests through the untraced one.
    auto texts = trace.Texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Tesmo.c: SynchCompletionRoutine ENTRY\n"), 2);
    EXPECT_EQ(std::count(texts.begin(), texts.end(),
                         "Tesmo.c: SynchCompletionRoutine EXIT = STATUS_MORE_PROCESSING_REQUIRED\n"),
              2);
    // The device key was closed again; the open-key check at shutdown agrees.
    EXPECT_TRUE(emu::OpenRegistryKeys().empty());
}

// A lower driver that answers every PnP request later, from a thread of its
// own, as a bus driver may: the forwarding dispatch must wait for it.
class LatePnpFilter {
public:
    LatePnpFilter(emu::System& system, PDEVICE_OBJECT pdo) : driver_(system, u"LatePnp"), pdo_(pdo)
    {
        driver_.CreateDevice(pdo);
        driver_.OnAny([this](PDEVICE_OBJECT, PIRP irp) { return Filter(irp); });
    }

private:
    NTSTATUS Filter(PIRP irp)
    {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_PNP) return PassDown(pdo_, irp);
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        later_.Post([this, irp] { IoCallDriver(pdo_, irp); });
        return STATUS_PENDING;
    }

    TestDriver driver_;
    PDEVICE_OBJECT pdo_;
    emu::SystemThread later_{"late-pnp"};
};

TEST_F(PnpTest, AStartTheBusAnswersLaterIsWaitedFor)
{
    LatePnpFilter filter(sys(), stack().pdo());
    TraceRecorder trace(sys());
    ASSERT_EQ(stack().Plug(), STATUS_SUCCESS);
    EXPECT_EQ(ext()->PnpState, ULONG(Working));
    EXPECT_EQ(ReadQueueState(ext()), ULONG(AllowRequests));
    EXPECT_TRUE(trace.Contains("Tesmo.c: SynchCompletionRoutine EXIT = STATUS_MORE_PROCESSING_REQUIRED\n"));
    EXPECT_TRUE(trace.Contains("Pnp.c:HandleStartDevice EXIT = 0x0\n"));
    // The removal's requests come back late too, before the filter goes.
    stack().Unplug();
    pnp().WaitRemoved(node());
}

TEST_F(PnpTest, SurpriseRemovalWithdrawsThePublicationAndRemovalDoesNotRepeatIt)
{
    Plug();
    TraceRecorder trace(sys());
    // An open handle keeps the removal waiting after the surprise removal.
    HANDLE handle = OpenPort();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    stack().Unplug();
    EXPECT_TRUE(Withdrawn());
    EXPECT_EQ(ext()->PnpState, ULONG(SurpriseRemoved));
    EXPECT_EQ(ReadQueueState(ext()), ULONG(FailRequests));
    Close(handle);
    pnp().WaitRemoved(node());
    EXPECT_EQ(trace.Matching("Usb.c:AbortPipes ENTRY").size(), 1u);
    EXPECT_TRUE(trace.Matching("failed =").empty());
}

TEST_F(PnpTest, RemovalWithdrawsThePublication)
{
    Plug();
    EXPECT_TRUE(Published());
    EXPECT_EQ(pnp().Disable(node()), STATUS_SUCCESS);
    EXPECT_TRUE(Withdrawn());
    EXPECT_TRUE(sys().pool().OutstandingWithTag(TESMO_POOL_TAG).empty());
}

// The system's routine rebalance: the start after the stop finds the link of
// the first start and reuses it instead of failing.
TEST_F(PnpTest, StartAfterStopSucceedsAndLeaksNothing)
{
    Plug();
    auto blocks = sys().pool().OutstandingWithTag(TESMO_POOL_TAG).size();
    EXPECT_EQ(pnp().Rebalance(node()), STATUS_SUCCESS);
    EXPECT_EQ(ext()->PnpState, ULONG(Working));
    EXPECT_EQ(ReadQueueState(ext()), ULONG(AllowRequests));
    EXPECT_TRUE(Published());
    EXPECT_EQ(sys().pool().OutstandingWithTag(TESMO_POOL_TAG).size(), blocks);
    EXPECT_EQ(pnp().Rebalance(node()), STATUS_SUCCESS);
    EXPECT_EQ(sys().pool().OutstandingWithTag(TESMO_POOL_TAG).size(), blocks);
}

TEST_F(PnpTest, StartGoesOnWhenTheLowerDriversFailIt)
{
    usb().FailPnp(IRP_MN_START_DEVICE, STATUS_DEVICE_DATA_ERROR);
    Plug();
    EXPECT_TRUE(Published());
}

TEST_F(PnpTest, UnhandledMinorsReachTheBusUntouched)
{
    Plug();
    for (UCHAR minor :
         {UCHAR(IRP_MN_QUERY_DEVICE_TEXT), UCHAR(IRP_MN_QUERY_INTERFACE), UCHAR(IRP_MN_QUERY_BUS_INFORMATION),
          UCHAR(IRP_MN_DEVICE_USAGE_NOTIFICATION), UCHAR(IRP_MN_QUERY_LEGACY_BUS_INFORMATION), UCHAR(0x19)}) {
        EXPECT_EQ(Send(minor), STATUS_NOT_SUPPORTED) << int(minor);
        auto log = usb().PnpLog();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().minor, minor);
        EXPECT_EQ(log.back().statusOnArrival, STATUS_NOT_SUPPORTED);
    }
    // The driver's own stack location was skipped: the bus saw the request
    // in the location the PnP manager filled.
    EXPECT_EQ(ext()->PnpState, ULONG(Working));
}

// ---- the stop and removal state table, one row per case ----

struct Row {
    const char* label;
    std::vector<UCHAR> before;  // requests that lead to the row's condition
    UCHAR request;
    NTSTATUS lowerFails;  // STATUS_SUCCESS: the lower drivers accept the request
    ULONG pnpState;
    ULONG queueState;
    bool heldRequestServed;  // a request held before the row's request is dispatched by it
    bool published;
};
void PrintTo(const Row& r, std::ostream* out) { *out << r.label; }

std::string StateName(ULONG state)
{
    static const char* names[] = {"NotStarted",    "Stopped",         "Working", "PendingStop",
                                  "PendingRemove", "SurpriseRemoved", "Removed"};
    return state < 7 ? names[state] : "Unknown";
}

class StopRemoveTable : public PnpTest, public ::testing::WithParamInterface<Row> {};

TEST_P(StopRemoveTable, StatesEffectsAndWhoFinishesTheRequest)
{
    const Row& row = GetParam();
    Plug();
    for (UCHAR minor : row.before) EXPECT_EQ(Send(minor), STATUS_SUCCESS);
    // A device-control request held while the queue is held.
    bool held = ReadQueueState(ext()) == HoldRequests;
    HANDLE port = OpenPort(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped = NewOverlapped();
    ULONG baud = 0;
    DWORD bytes = 0;
    BOOL done = DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud, &bytes, &overlapped);
    EXPECT_EQ(!done && GetLastError() == ERROR_IO_PENDING, held);

    if (!NT_SUCCESS(row.lowerFails)) usb().FailPnp(row.request, row.lowerFails);
    EXPECT_EQ(Send(row.request), row.lowerFails);
    usb().FailPnp(row.request, STATUS_SUCCESS);

    EXPECT_EQ(StateName(ext()->PnpState), StateName(row.pnpState));
    EXPECT_EQ(ReadQueueState(ext()), row.queueState);
    EXPECT_EQ(Published(), row.published);
    if (held) {
        bool served = WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0;
        EXPECT_EQ(served, row.heldRequestServed);
        if (!served) CancelIo(port);
    }
    GetOverlappedResult(port, &overlapped, &bytes, TRUE);
    // Leave the device where the fixture can remove it.
    if (ext()->PnpState == PendingStop) Send(IRP_MN_CANCEL_STOP_DEVICE);
    if (ext()->PnpState == PendingRemove) Send(IRP_MN_CANCEL_REMOVE_DEVICE);
    if (ext()->PnpState == Stopped) Send(IRP_MN_START_DEVICE);
}

constexpr UCHAR kQueryStop = IRP_MN_QUERY_STOP_DEVICE, kCancelStop = IRP_MN_CANCEL_STOP_DEVICE;
constexpr UCHAR kQueryRemove = IRP_MN_QUERY_REMOVE_DEVICE, kCancelRemove = IRP_MN_CANCEL_REMOVE_DEVICE;
constexpr NTSTATUS kOk = STATUS_SUCCESS, kRefused = STATUS_UNSUCCESSFUL;  // what the lower drivers answer

INSTANTIATE_TEST_SUITE_P(
    Rows, StopRemoveTable,
    ::testing::Values(
        Row{"query_stop", {}, kQueryStop, kOk, PendingStop, HoldRequests, false, true},
        Row{"cancel_stop_accepted", {kQueryStop}, kCancelStop, kOk, Working, AllowRequests, true, true},
        Row{"cancel_stop_refused", {kQueryStop}, kCancelStop, kRefused, PendingStop, HoldRequests, false, true},
        Row{"stop", {kQueryStop}, IRP_MN_STOP_DEVICE, kOk, Stopped, HoldRequests, false, true},
        Row{"query_remove", {}, kQueryRemove, kOk, PendingRemove, HoldRequests, false, true},
        Row{"cancel_remove_accepted", {kQueryRemove}, kCancelRemove, kOk, Working, AllowRequests, true, true},
        Row{"cancel_remove_refused",
            {kQueryRemove},
            kCancelRemove,
            kRefused,
            PendingRemove,
            AllowRequests,
            false,
            true},
        Row{"cancel_remove_when_working", {}, kCancelRemove, kOk, Working, AllowRequests, false, true},
        Row{"capabilities", {}, IRP_MN_QUERY_CAPABILITIES, kOk, Working, AllowRequests, false, true}),
    [](const auto& info) { return std::string(info.param.label); });

// A cancel-stop that meets a device that is not pending a stop still makes it
// take its previous state.
TEST_F(PnpTest, CancelStopOutsidePendingStopRestoresThePreviousState)
{
    Plug();
    EXPECT_EQ(Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);  // Working -> PendingRemove
    EXPECT_EQ(Send(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(ext()->PnpState, ULONG(Working));
    EXPECT_EQ(ReadQueueState(ext()), ULONG(AllowRequests));
}

// ---- capabilities ----

struct CapabilityCase {
    const char* label;
    USHORT version;
    USHORT size;
};
void PrintTo(const CapabilityCase& c, std::ostream* out) { *out << c.label; }

class CapabilityRefusal : public PnpTest, public ::testing::WithParamInterface<CapabilityCase> {};

TEST_P(CapabilityRefusal, TooOldOrTooSmallIsRefusedWithoutReachingTheBus)
{
    Plug();
    auto before = usb().PnpLog().size();
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Version = GetParam().version;
    capabilities.Size = GetParam().size;
    NTSTATUS status = pnp().Send(node(), IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    });
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usb().PnpLog().size(), before);
}

INSTANTIATE_TEST_SUITE_P(Records, CapabilityRefusal,
                         ::testing::Values(CapabilityCase{"version_0", 0, 64}, CapabilityCase{"size_63", 1, 63}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(PnpTest, CapabilitiesKeepTheBussMapAndDeclareSurpriseRemoval)
{
    emu::usb::DeviceConfig config;
    config.capabilities.deviceState[PowerSystemSleeping1] = PowerDeviceD2;
    config.capabilities.surpriseRemovalOk = false;
    Replace(config);
    Plug();
    EXPECT_EQ(ext()->DeviceStateMap[PowerSystemSleeping1], PowerDeviceD2);
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Version = 1;
    capabilities.Size = sizeof capabilities;
    EXPECT_EQ(
        pnp().Send(node(), IRP_MN_QUERY_CAPABILITIES,
                   [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &capabilities; }),
        STATUS_SUCCESS);
    EXPECT_TRUE(capabilities.SurpriseRemovalOK);
}

TEST_F(PnpTest, FailedCapabilitiesQueryRestoresTheDefaultMap)
{
    emu::usb::DeviceConfig config;
    config.capabilities.deviceState[PowerSystemSleeping3] = PowerDeviceD2;
    Replace(config);
    Plug();
    ASSERT_EQ(ext()->DeviceStateMap[PowerSystemSleeping3], PowerDeviceD2);
    usb().FailPnp(IRP_MN_QUERY_CAPABILITIES, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Send(IRP_MN_QUERY_CAPABILITIES), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ext()->DeviceStateMap[PowerSystemSleeping3], PowerDeviceD3);
    usb().FailPnp(IRP_MN_QUERY_CAPABILITIES, STATUS_SUCCESS);
}

}  // namespace
}  // namespace tesmo::test
