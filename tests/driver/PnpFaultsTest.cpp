// What goes wrong around Plug and Play and how the driver copes: a missing or
// malformed PortName, a removal while a read waits for the instrument, a
// wait-wake request that is not the driver's own, a start that failed half
// way, and the port and pipe recovery requests.
#include <gtest/gtest.h>

#include <thread>

#include "DriverStackTest.h"
#include "PluggedPortTest.h"
#include "Power.h"
#include "SystemTest.h"
#include "TestDriver.h"
#include "TraceRecorder.h"
#include "Usb.h"
#include "emu/Namespace.h"
#include "emu/Registry.h"
#include "instrument/CommandInstrument.h"
#include "instrument/ScriptedDevice.h"
#include "tesmo/windows.h"

namespace tesmo::test {
namespace {

// ---- PortName ----

class PortNameTest : public AddedDeviceTest {
protected:
    NTSTATUS Start()
    {
        TopLevelIrp start(stack_->fdo(), IRP_MJ_PNP, IRP_MN_START_DEVICE);
        start.Send();
        start.WaitCompleted();
        return start.finalStatus();
    }
};

TEST_F(PortNameTest, MissingPortNameFailsTheStartAfterTheStatesChanged)
{
    TraceRecorder trace(sys());
    EXPECT_EQ(Start(), STATUS_OBJECT_NAME_NOT_FOUND);
    PDEVICE_EXTENSION e = stack_->extension();
    EXPECT_EQ(e->PnpState, ULONG(Working));
    EXPECT_EQ(e->QueueState, ULONG(AllowRequests));
    EXPECT_NE(e->InterfaceInfo, nullptr);  // the configuration was selected before
    EXPECT_TRUE(trace.Contains("Pnp.c:GetRegistryKeyValue-ZwQueryValueKey failed with 0xc0000034\n"));
    EXPECT_TRUE(trace.Contains("Pnp.c:HandleStartDevice EXIT = 0xc0000034\n"));
    EXPECT_TRUE(emu::OpenRegistryKeys().empty());
}

struct PortNameCase {
    const char* label;
    emu::RegistryValue value;
    NTSTATUS startStatus;
    const char16_t* link;  // the link the start creates, if any
};
void PrintTo(const PortNameCase& c, std::ostream* out) { *out << c.label; }

class PortNameData : public PortNameTest, public ::testing::WithParamInterface<PortNameCase> {};

TEST_P(PortNameData, NameIsNeverBuiltFromMemoryThatIsNotTheValue)
{
    emu::SetDeviceRegistryValue(stack_->pdo(), u"PortName", GetParam().value);
    EXPECT_EQ(Start(), GetParam().startStatus);
    if (GetParam().link) {
        EXPECT_EQ(emu::SymbolicLinkTarget(GetParam().link), u"\\Device\\Tesmo1");
    } else {
        EXPECT_TRUE(emu::SymbolicLinks().empty());
    }
}

emu::RegistryValue Unterminated(const char* text)
{
    std::vector<std::uint8_t> bytes;
    for (const char* c = text; *c; ++c) {
        bytes.push_back(static_cast<std::uint8_t>(*c));
        bytes.push_back(0);
    }
    return emu::RegistryValue{REG_SZ, bytes};
}

const std::u16string kLongestLink = u"\\DosDevices\\" + std::u16string(116, u'L');

INSTANTIATE_TEST_SUITE_P(
    Values, PortNameData,
    ::testing::Values(
        PortNameCase{"terminated", emu::RegistryValue::String(u"COM7"), STATUS_SUCCESS, u"\\DosDevices\\COM7"},
        PortNameCase{"unterminated_fits", Unterminated("COM8"), STATUS_SUCCESS, u"\\DosDevices\\COM8"},
        // The link's buffer holds 128 characters, \DosDevices\ takes 12 of them.
        PortNameCase{"longest_name_the_link_holds", emu::RegistryValue::String(std::u16string(116, u'L')),
                     STATUS_SUCCESS, kLongestLink.c_str()},
        PortNameCase{"name_too_long_for_the_link", emu::RegistryValue::String(std::u16string(117, u'L')),
                     STATUS_BUFFER_TOO_SMALL, nullptr},
        // 129 characters with the terminator: 258 bytes come back from the
        // query but only 256 fit the name.
        PortNameCase{"two_bytes_too_long", emu::RegistryValue::String(std::u16string(128, u'X')), STATUS_BUFFER_TOO_SMALL,
                     nullptr},
        PortNameCase{"far_too_long", emu::RegistryValue::String(std::u16string(300, u'X')), STATUS_BUFFER_OVERFLOW,
                     nullptr}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- removal and power waits are bounded ----

class BoundedWaitTest : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        port_ = std::make_unique<PortStack>(sys(), device_);
        ASSERT_EQ(port_->Plug(), STATUS_SUCCESS);
        handle_ = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        port_.reset();
        SystemTest::TearDown();
    }
    // A read longer than a packet: its whole packets wait for the read limit,
    // 120 s with the time-outs a start sets, far beyond the bound below.
    std::thread StartLongRead(BOOL& ok, DWORD& error)
    {
        return std::thread([&] {
            char buffer[200];
            DWORD got = 0;
            ok = ReadFile(handle_, buffer, sizeof buffer, &got, nullptr);
            error = GetLastError();
        });
    }

    emu::usb::ScriptedDevice device_;
    std::unique_ptr<PortStack> port_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The instrument never answers a long read: a query-remove still ends, after
// the bound, by cancelling the read.
TEST_F(BoundedWaitTest, QueryRemoveCancelsAReadTheInstrumentNeverAnswers)
{
    BOOL ok = TRUE;
    DWORD error = 0;
    auto reader = StartLongRead(ok, error);
    emu::WaitUntil([&] { return port_->usb().PendingTransfers() == 1; }, "the long read to wait on the bus");
    NTSTATUS query = STATUS_PENDING;
    std::thread pnp([&] { query = port_->pnp().CancelledRemove(port_->node()); });
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 2; }, "the query-remove to wait for USB quiet");
    sys().clock().AdvanceBy(5 * emu::kSecond - 1);
    EXPECT_EQ(port_->usb().PendingTransfers(), 1u);
    sys().clock().AdvanceBy(1);
    reader.join();
    pnp.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(query, STATUS_SUCCESS);
    EXPECT_EQ(port_->extension()->OutstandingIo, 0);
}

// The bound cancels a long read that had part of its packets: they are
// delivered, not dropped with the cancelled transfer.
TEST_F(BoundedWaitTest, QueryRemoveDeliversWhatACancelledLongReadHadReceived)
{
    BOOL ok = FALSE;
    DWORD error = 0;
    DWORD got = 0;
    char buffer[200];
    device_.Packet(std::string(64, 'p'));
    std::thread reader([&] {
        ok = ReadFile(handle_, buffer, 130, &got, nullptr);
        error = GetLastError();
    });
    emu::WaitUntil([&] { return device_.InWantedCount() == 1; }, "the long read to take the packet and want more");
    NTSTATUS query = STATUS_PENDING;
    std::thread pnp([&] { query = port_->pnp().CancelledRemove(port_->node()); });
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 2; }, "the query-remove to wait for USB quiet");
    sys().clock().AdvanceBy(5 * emu::kSecond);
    reader.join();
    pnp.join();
    EXPECT_TRUE(ok) << error;
    EXPECT_EQ(std::string(buffer, got), std::string(64, 'p'));
    EXPECT_EQ(query, STATUS_SUCCESS);
}

// ---- wait-wake ----

class WaitWakeTest : public PluggedPortTest {
protected:
    static VOID Finished(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status)
    {
        auto* self = static_cast<WaitWakeTest*>(context);
        self->status_ = status->Status;
        self->finished_ = true;
    }
    NTSTATUS RequestWaitWake()
    {
        POWER_STATE state;
        state.SystemState = PowerSystemSleeping3;
        return PoRequestPowerIrp(port_->fdo(), IRP_MN_WAIT_WAKE, state, Finished, this, nullptr);
    }

    std::atomic<bool> finished_{false};
    std::atomic<NTSTATUS> status_{STATUS_PENDING};
};

// Nothing arms a wait-wake request of the driver's own, so every one that
// passes through must go back up: kept, nobody would finish it.
TEST_F(WaitWakeTest, APassingWaitWakeRequestCompletesUpward)
{
    TraceRecorder trace(sys());
    EXPECT_EQ(RequestWaitWake(), STATUS_PENDING);
    emu::WaitUntil([&] { return port_->usb().WaitWakePending(); }, "the wait-wake request to reach the bus");
    port_->usb().SignalWake();
    emu::WaitUntil([&] { return finished_.load(); }, "the wait-wake request to come back");
    EXPECT_EQ(status_, STATUS_SUCCESS);
    EXPECT_TRUE(trace.Matching("WaitWakeCompletionRoutine").empty()) << "a passing request is not the driver's business";

    finished_ = false;
    EXPECT_EQ(RequestWaitWake(), STATUS_PENDING);
    emu::WaitUntil([&] { return port_->usb().WaitWakePending(); }, "the second wait-wake request to reach the bus");
    port_->usb().SignalWake();
    emu::WaitUntil([&] { return finished_.load(); }, "the second wait-wake request to come back");
    EXPECT_EQ(status_, STATUS_SUCCESS);
    // The dispatch that passed it down lets go of its hold once the call returns.
    emu::WaitUntil([&] { return __atomic_load_n(&port_->extension()->RemoveLockCount, __ATOMIC_SEQ_CST) == 0; },
                   "the power dispatch to release its hold");
}

TEST_F(WaitWakeTest, RemovalDoesNotCancelARequestThatIsNotTheDriversOwn)
{
    TraceRecorder trace(sys());
    EXPECT_EQ(RequestWaitWake(), STATUS_PENDING);
    emu::WaitUntil([&] { return port_->usb().WaitWakePending(); }, "the wait-wake request to reach the bus");
    port_->Unplug();
    emu::WaitUntil([&] { return finished_.load(); }, "the wait-wake request to come back");
    EXPECT_EQ(status_, STATUS_CANCELLED);  // the bus gave it back when the device went
    EXPECT_TRUE(trace.Matching("Power.c:CancelWaitWake").empty());
}

// ---- a start that failed half way, then removed ----

TEST(FailedStartTest, RemovalOfADeviceWhoseStartFailedEarlyCompletes)
{
    emu::System system(TestSystemOptions());
    {
        emu::usb::CommandInstrument instrument;
        emu::usb::DeviceConfig config;
        DriverStack stack(system, instrument, config);
        stack.usb().FailUrb(emu::usb::UrbFailure{URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, std::nullopt,
                                                 USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 0});
        ASSERT_EQ(stack.AddDevice(), STATUS_SUCCESS);
        TopLevelIrp start(stack.fdo(), IRP_MJ_PNP, IRP_MN_START_DEVICE);
        start.Send();
        EXPECT_EQ(start.finalStatus(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(stack.extension()->InterfaceInfo, nullptr);
        EXPECT_EQ(stack.Remove(), STATUS_SUCCESS);
    }
    system.Shutdown();
    ExpectNoViolations(system.verifier());
}

// ---- port and pipe recovery ----

class RecoveryTest : public PluggedPortTest {
protected:
    NTSTATUS ResetIfNotEnabled()
    {
        return DRIVER_SYMBOL(port_->driver(), ResetParentPortIfDeviceNotEnabled)(port_->fdo());
    }

};

struct PortCase {
    const char* label;
    ULONG status;
    unsigned resets;
};
void PrintTo(const PortCase& c, std::ostream* out) { *out << c.label; }

class PortStatusMatrix : public RecoveryTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortStatusMatrix, OnlyAConnectedButDisabledPortIsReset)
{
    port_->usb().SetPortStatus(GetParam().status);
    EXPECT_EQ(ResetIfNotEnabled(), STATUS_SUCCESS);
    EXPECT_EQ(port_->usb().portResets(), GetParam().resets);
}

INSTANTIATE_TEST_SUITE_P(Status, PortStatusMatrix,
                         ::testing::Values(PortCase{"connected_and_enabled", 3, 0}, PortCase{"neither", 0, 0},
                                           PortCase{"enabled_only", 1, 0}, PortCase{"connected_not_enabled", 2, 1}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(RecoveryTest, TheResetsStatusIsReturnedAndAFailedQueryResetsNothing)
{
    port_->usb().SetPortStatus(USBD_PORT_CONNECTED);
    port_->usb().FailPortResets(STATUS_DEVICE_BUSY);
    EXPECT_EQ(ResetIfNotEnabled(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(port_->usb().portResets(), 1u);
    port_->usb().FailPortResets(STATUS_SUCCESS);

    // A device that is gone answers the status query with a failure.
    port_->usb().Unplug();
    EXPECT_EQ(ResetIfNotEnabled(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(port_->usb().portResets(), 1u);
    port_->pnp().Unplug(port_->node());
}

TEST_F(RecoveryTest, AbortPipesSendsNothingWhenNoPipeIsMarkedOpen)
{
    unsigned before = port_->usb().UrbsReceived(URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(DRIVER_SYMBOL(port_->driver(), AbortPipes)(port_->fdo()), STATUS_SUCCESS);
    EXPECT_EQ(port_->usb().UrbsReceived(URB_FUNCTION_ABORT_PIPE), before);
}

TEST_F(RecoveryTest, PipeResetOutsideAllowRequestsReportsInsufficientResources)
{
    auto reset = DRIVER_SYMBOL(port_->driver(), ResetPipe);
    EXPECT_EQ(reset(port_->fdo(), port_->extension()->InPipeHandle), STATUS_SUCCESS);
    port_->extension()->QueueState = HoldRequests;
    unsigned before = port_->usb().UrbsReceived(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    EXPECT_EQ(reset(port_->fdo(), port_->extension()->InPipeHandle), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(port_->usb().UrbsReceived(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), before);
    port_->extension()->QueueState = AllowRequests;
}

}  // namespace
}  // namespace tesmo::test
