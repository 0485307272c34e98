// What goes wrong around Plug and Play and how the driver copes: a missing or
// malformed PortName, a removal while a read waits for the instrument, a
// start that failed half way, and the port and pipe recovery requests.
#include <gtest/gtest.h>

#include <thread>

#include "DeviceTest.h"
#include "TestDriver.h"
#include "TraceRecorder.h"
#include "Usb.h"
#include "Win32Handles.h"
#include "emu/Namespace.h"
#include "emu/Registry.h"

namespace tesmo::test {
namespace {

// ---- a start sent by hand, without the port installer's PortName ----

class StartTest : public AddedDeviceTest {
protected:
    NTSTATUS Start()
    {
        TopLevelIrp start(fdo(), IRP_MJ_PNP, IRP_MN_START_DEVICE);
        start.Send();
        start.WaitCompleted();
        return start.finalStatus();
    }
};

TEST_F(StartTest, MissingPortNameFailsTheStartAfterTheStatesChanged)
{
    TraceRecorder trace(sys());
    EXPECT_EQ(Start(), STATUS_OBJECT_NAME_NOT_FOUND);
    PDEVICE_EXTENSION e = ext();
    EXPECT_EQ(e->PnpState, ULONG(Working));
    EXPECT_EQ(ReadQueueState(e), ULONG(AllowRequests));
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

class PortNameData : public StartTest, public ::testing::WithParamInterface<PortNameCase> {};

TEST_P(PortNameData, NameIsNeverBuiltFromMemoryThatIsNotTheValue)
{
    emu::SetDeviceRegistryValue(stack().pdo(), u"PortName", GetParam().value);
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
    ::testing::Values(PortNameCase{"terminated", emu::RegistryValue::String(u"COM7"), STATUS_SUCCESS,
                                   u"\\DosDevices\\COM7"},
                      PortNameCase{"unterminated_fits", Unterminated("COM8"), STATUS_SUCCESS, u"\\DosDevices\\COM8"},
                      // The link's buffer holds 128 characters, \DosDevices\ takes 12 of them.
                      PortNameCase{"longest_name_the_link_holds", emu::RegistryValue::String(std::u16string(116, u'L')),
                                   STATUS_SUCCESS, kLongestLink.c_str()},
                      PortNameCase{"name_too_long_for_the_link", emu::RegistryValue::String(std::u16string(117, u'L')),
                                   STATUS_BUFFER_TOO_SMALL, nullptr},
                      // 129 characters with the terminator: 258 bytes come back from the
                      // query but only 256 fit the name.
                      PortNameCase{"two_bytes_too_long", emu::RegistryValue::String(std::u16string(128, u'X')),
                                   STATUS_BUFFER_TOO_SMALL, nullptr},
                      PortNameCase{"far_too_long", emu::RegistryValue::String(std::u16string(300, u'X')),
                                   STATUS_BUFFER_OVERFLOW, nullptr}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- removal and power waits are bounded ----

class BoundedWaitTest : public StartedPortOf<emu::usb::ScriptedDevice>, protected Win32Handles {
protected:
    void SetUp() override
    {
        StartedPortOf::SetUp();
        handle_ = OpenPort();
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
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

    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The instrument never answers a long read: a query-remove still ends, after
// the bound, by cancelling the read.
TEST_F(BoundedWaitTest, QueryRemoveCancelsAReadTheInstrumentNeverAnswers)
{
    BOOL ok = TRUE;
    DWORD error = 0;
    auto reader = StartLongRead(ok, error);
    emu::WaitUntil([&] { return usb().PendingTransfers() == 1; }, "the long read to wait on the bus");
    NTSTATUS query = STATUS_PENDING;
    std::thread queryRemove([&] { query = pnp().CancelledRemove(node()); });
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 2; }, "the query-remove to wait for USB quiet");
    sys().clock().AdvanceBy(5 * emu::kSecond - 1);
    EXPECT_EQ(usb().PendingTransfers(), 1u);
    sys().clock().AdvanceBy(1);
    reader.join();
    queryRemove.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(query, STATUS_SUCCESS);
    EXPECT_EQ(ext()->OutstandingIo, 0);
}

// The bound cancels a long read that had part of its packets: they are
// delivered, not dropped with the cancelled transfer.
TEST_F(BoundedWaitTest, QueryRemoveDeliversWhatACancelledLongReadHadReceived)
{
    BOOL ok = FALSE;
    DWORD error = 0;
    DWORD got = 0;
    char buffer[200];
    instrument().Packet(std::string(64, 'p'));
    std::thread reader([&] {
        ok = ReadFile(handle_, buffer, 130, &got, nullptr);
        error = GetLastError();
    });
    emu::WaitUntil([&] { return instrument().InWantedCount() == 1; }, "the long read to take the packet and want more");
    NTSTATUS query = STATUS_PENDING;
    std::thread queryRemove([&] { query = pnp().CancelledRemove(node()); });
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 2; }, "the query-remove to wait for USB quiet");
    sys().clock().AdvanceBy(5 * emu::kSecond);
    reader.join();
    queryRemove.join();
    EXPECT_TRUE(ok) << error;
    EXPECT_EQ(std::string(buffer, got), std::string(64, 'p'));
    EXPECT_EQ(query, STATUS_SUCCESS);
}

// A start that failed half way, then removed.
TEST_F(StartTest, RemovalOfADeviceWhoseStartFailedEarlyCompletes)
{
    usb().FailUrb(emu::usb::UrbFailure{URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, std::nullopt, USBD_STATUS_STALL_PID,
                                       STATUS_UNSUCCESSFUL, 0});
    EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ext()->InterfaceInfo, nullptr);
    EXPECT_EQ(stack().Remove(), STATUS_SUCCESS);
}

// ---- port and pipe recovery ----

class RecoveryTest : public StartedPortTest {
protected:
    NTSTATUS ResetIfNotEnabled() { return DRIVER_SYMBOL(driver(), ResetParentPortIfDeviceNotEnabled)(fdo()); }
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
    usb().SetPortStatus(GetParam().status);
    EXPECT_EQ(ResetIfNotEnabled(), STATUS_SUCCESS);
    EXPECT_EQ(usb().portResets(), GetParam().resets);
}

INSTANTIATE_TEST_SUITE_P(Status, PortStatusMatrix,
                         ::testing::Values(PortCase{"connected_and_enabled", 3, 0}, PortCase{"neither", 0, 0},
                                           PortCase{"enabled_only", 1, 0}, PortCase{"connected_not_enabled", 2, 1}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(RecoveryTest, TheResetsStatusIsReturnedAndAFailedQueryResetsNothing)
{
    usb().SetPortStatus(USBD_PORT_CONNECTED);
    usb().FailPortResets(STATUS_DEVICE_BUSY);
    EXPECT_EQ(ResetIfNotEnabled(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(usb().portResets(), 1u);
    usb().FailPortResets(STATUS_SUCCESS);

    // A device that is gone answers the status query with a failure.
    usb().Unplug();
    EXPECT_EQ(ResetIfNotEnabled(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(usb().portResets(), 1u);
    pnp().Unplug(node());
}

TEST_F(RecoveryTest, AbortPipesSendsNothingWhenNoPipeIsMarkedOpen)
{
    unsigned before = usb().UrbsReceived(URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(DRIVER_SYMBOL(driver(), AbortPipes)(fdo()), STATUS_SUCCESS);
    EXPECT_EQ(usb().UrbsReceived(URB_FUNCTION_ABORT_PIPE), before);
}

TEST_F(RecoveryTest, PipeResetOutsideAllowRequestsReportsInsufficientResources)
{
    auto reset = DRIVER_SYMBOL(driver(), ResetPipe);
    EXPECT_EQ(reset(fdo(), ext()->InPipeHandle), STATUS_SUCCESS);
    ASSERT_EQ(HoldQueue(), STATUS_SUCCESS);
    unsigned before = usb().UrbsReceived(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    EXPECT_EQ(reset(fdo(), ext()->InPipeHandle), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(usb().UrbsReceived(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), before);
}

}  // namespace
}  // namespace tesmo::test
