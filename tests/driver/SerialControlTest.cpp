// The serial I/O controls: every code's buffer check, its invalid values and
// its result bytes against the load-time settings; settings stored and handed
// back; the time-outs of the settings versus the device's own; purge and
// status query on waiting bytes; the escape character's checks.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "SerialPortTest.h"
#include "SerialSettings.h"
#include "emu/RemoveLocks.h"

namespace tesmo::test {
namespace {

Bytes U32(std::uint32_t value) { return BytesOf(value); }
Bytes Zeros(std::size_t count) { return Bytes(count, 0); }
Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}
Bytes HandFlow(std::uint32_t control, std::uint32_t replace, std::int32_t xon, std::int32_t xoff)
{
    return Cat({U32(control), U32(replace), BytesOf(xon), BytesOf(xoff)});
}
Bytes XoffCounter(std::int32_t counter) { return Cat({U32(1000), BytesOf(counter), Bytes{0x13, 0, 0, 0}}); }
Bytes Status(std::uint32_t amountInInQueue) { return Cat({U32(0), U32(0), U32(amountInInQueue), U32(0), Zeros(4)}); }

// SERIAL_COMMPROP as the port describes itself, byte for byte.
Bytes Properties()
{
    return Cat({Bytes{64, 0, 2, 0}, U32(1), U32(0), U32(0), U32(0), U32(0x10000000), U32(1), U32(0), U32(2),
                U32(0x1007FFFF), Bytes{0, 0, 0x00, 0x01}, U32(0), U32(0), U32(0), U32(0), Zeros(4)});
}

class SerialControlTest : public SerialPortTest {
protected:
    bool SettingsAsLoaded() const { return std::memcmp(settings_, &loaded_, sizeof loaded_) == 0; }
    SERIAL_STATUS QueryStatus(PortRequest& query)
    {
        SERIAL_STATUS status{};
        Bytes bytes = query.Output(sizeof status);
        std::memcpy(&status, bytes.data(), sizeof status);
        return status;
    }

    SERIAL_SETTINGS* settings_ = DRIVER_SYMBOL(driver(), SerialSettings);
    SERIAL_SETTINGS loaded_ = *settings_;
};

// ---- one request against the settings as loaded ----

struct ControlCase {
    const char* label;
    ULONG code;
    Bytes input;
    ULONG outputLength;
    NTSTATUS status;
    Bytes output;  // what the request returns; Information is its size
};
void PrintTo(const ControlCase& c, std::ostream* out) { *out << c.label; }

class ControlCode : public SerialControlTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlCode, AnswersAsTheCodeTableSays)
{
    const ControlCase& c = GetParam();
    auto request = Control(c.code, c.input, c.outputLength);
    EXPECT_EQ(request->status(), c.status);
    EXPECT_EQ(request->returned(), c.status);
    EXPECT_EQ(request->information(), c.output.size());
    EXPECT_EQ(request->Output(c.output.size()), c.output);
    EXPECT_TRUE(request->UnchangedFrom(c.output.size())) << "bytes written beyond the result";
    if (!NT_SUCCESS(c.status)) {
        EXPECT_TRUE(SettingsAsLoaded()) << "a refused request changed a setting";
    }
    EXPECT_EQ(instrument().OutTransferCount(), 0u);
    EXPECT_EQ(ext()->RemoveLockCount, 0);
    EXPECT_EQ(emu::InspectRemoveLock(&ext()->RemoveLock).ioCount, 1) << "the remove lock is still held";
}

const NTSTATUS kTooSmall = STATUS_BUFFER_TOO_SMALL;
const NTSTATUS kInvalid = STATUS_INVALID_PARAMETER;
const NTSTATUS kNotImplemented = STATUS_NOT_IMPLEMENTED;

INSTANTIATE_TEST_SUITE_P(
    Table, ControlCode,
    ::testing::Values(
        ControlCase{"set_baud_rate_short", 0x1B0004, Zeros(3), 0, kTooSmall, {}},
        ControlCase{"set_queue_size_short", 0x1B0008, Zeros(7), 0, kTooSmall, {}},
        ControlCase{"set_line_control_short", 0x1B000C, Zeros(2), 0, kTooSmall, {}},
        ControlCase{"set_break_on", 0x1B0010, {}, 0, kNotImplemented, {}},
        ControlCase{"set_break_off", 0x1B0014, {}, 0, kNotImplemented, {}},
        ControlCase{"immediate_char_of_two_bytes", 0x1B0018, Bytes{'a', 'b'}, 0, kTooSmall, {}},
        ControlCase{"immediate_char_of_no_byte", 0x1B0018, {}, 0, kTooSmall, {}},
        ControlCase{"set_timeouts_short", 0x1B001C, Zeros(19), 0, kTooSmall, {}},
        ControlCase{"set_timeouts_all_read_values_maxulong", 0x1B001C, Cat({Bytes(12, 0xFF), Zeros(8)}), 0, kInvalid,
                    {}},
        ControlCase{"get_timeouts_short", 0x1B0020, {}, 19, kTooSmall, {}},
        ControlCase{"get_timeouts_as_loaded", 0x1B0020, {}, 20, STATUS_SUCCESS, Zeros(20)},
        ControlCase{"set_dtr", 0x1B0024, {}, 0, kNotImplemented, {}},
        ControlCase{"clr_dtr", 0x1B0028, {}, 0, kNotImplemented, {}},
        ControlCase{"reset_device", 0x1B002C, {}, 0, kNotImplemented, {}},
        ControlCase{"set_rts", 0x1B0030, {}, 0, kNotImplemented, {}},
        ControlCase{"clr_rts", 0x1B0034, {}, 0, kNotImplemented, {}},
        ControlCase{"set_xoff", 0x1B0038, {}, 0, kNotImplemented, {}},
        ControlCase{"set_xon", 0x1B003C, {}, 0, kNotImplemented, {}},
        ControlCase{"get_wait_mask_short", 0x1B0040, {}, 3, kTooSmall, {}},
        ControlCase{"get_wait_mask_as_loaded", 0x1B0040, {}, 4, STATUS_SUCCESS, U32(0)},
        ControlCase{"set_wait_mask_short", 0x1B0044, Zeros(3), 0, kTooSmall, {}},
        ControlCase{"set_wait_mask_bit_13", 0x1B0044, U32(0x2000), 0, kInvalid, {}},
        ControlCase{"set_wait_mask_bit_31", 0x1B0044, U32(0x80000000), 0, kInvalid, {}},
        ControlCase{"wait_on_mask_short", 0x1B0048, {}, 3, kTooSmall, {}},
        ControlCase{"wait_on_mask", 0x1B0048, {}, 4, kNotImplemented, {}},
        ControlCase{"purge_short", 0x1B004C, Zeros(3), 0, kTooSmall, {}},
        ControlCase{"purge_no_bit", 0x1B004C, U32(0), 0, kInvalid, {}},
        ControlCase{"purge_bit_4", 0x1B004C, U32(0x10), 0, kInvalid, {}},
        ControlCase{"get_baud_rate_short", 0x1B0050, {}, 3, kTooSmall, {}},
        ControlCase{"get_baud_rate_as_loaded", 0x1B0050, {}, 4, STATUS_SUCCESS, U32(0x00020000)},
        ControlCase{"get_line_control_short", 0x1B0054, {}, 2, kTooSmall, {}},
        ControlCase{"get_line_control_as_loaded", 0x1B0054, {}, 3, STATUS_SUCCESS, Bytes{0, 0, 8}},
        ControlCase{"get_chars_short", 0x1B0058, {}, 5, kTooSmall, {}},
        ControlCase{"get_chars_as_loaded", 0x1B0058, {}, 6, STATUS_SUCCESS, Zeros(6)},
        ControlCase{"set_chars_short", 0x1B005C, Zeros(5), 0, kTooSmall, {}},
        ControlCase{"get_handflow_short", 0x1B0060, {}, 15, kTooSmall, {}},
        ControlCase{"get_handflow_as_loaded", 0x1B0060, {}, 16, STATUS_SUCCESS, HandFlow(0x11, 0x13, 1, 64)},
        ControlCase{"set_handflow_short", 0x1B0064, Zeros(15), 0, kTooSmall, {}},
        ControlCase{"set_handflow_invalid_control_bit", 0x1B0064, HandFlow(0x4, 0, 0, 0), 0, kInvalid, {}},
        ControlCase{"set_handflow_invalid_flow_bit", 0x1B0064, HandFlow(0, 0x20, 0, 0), 0, kInvalid, {}},
        ControlCase{"set_handflow_dtr_mask_3", 0x1B0064, HandFlow(0x3, 0, 0, 0), 0, kInvalid, {}},
        ControlCase{"set_handflow_negative_xon_limit", 0x1B0064, HandFlow(0, 0, -1, 0), 0, kInvalid, {}},
        ControlCase{"set_handflow_negative_xoff_limit", 0x1B0064, HandFlow(0, 0, 0, -1), 0, kInvalid, {}},
        ControlCase{"get_modemstatus_short", 0x1B0068, {}, 3, kTooSmall, {}},
        ControlCase{"get_modemstatus", 0x1B0068, {}, 4, STATUS_SUCCESS, U32(0)},
        ControlCase{"get_commstatus_short", 0x1B006C, {}, 19, kTooSmall, {}},
        ControlCase{"xoff_counter_short", 0x1B0070, Zeros(11), 0, kTooSmall, {}},
        ControlCase{"xoff_counter_zero", 0x1B0070, XoffCounter(0), 0, kInvalid, {}},
        ControlCase{"xoff_counter_negative", 0x1B0070, XoffCounter(-5), 0, kInvalid, {}},
        ControlCase{"xoff_counter_positive", 0x1B0070, XoffCounter(1), 0, STATUS_SUCCESS, {}},
        ControlCase{"get_properties_short", 0x1B0074, {}, 63, kTooSmall, {}},
        ControlCase{"get_properties", 0x1B0074, {}, 64, STATUS_SUCCESS, Properties()},
        ControlCase{"get_properties_into_a_larger_buffer", 0x1B0074, {}, 100, STATUS_SUCCESS, Properties()},
        ControlCase{"get_dtrrts_short", 0x1B0078, {}, 3, kTooSmall, {}},
        ControlCase{"get_dtrrts_as_loaded", 0x1B0078, {}, 4, STATUS_SUCCESS, U32(0)},
        ControlCase{"lsrmst_insert_without_byte", 0x1B007C, {}, 0, kTooSmall, {}},
        ControlCase{"config_size_short", 0x1B0080, {}, 3, kTooSmall, {}},
        ControlCase{"config_size", 0x1B0080, {}, 4, STATUS_SUCCESS, U32(0)},
        ControlCase{"get_commconfig", 0x1B0084, {}, 64, kInvalid, {}},
        ControlCase{"set_commconfig", 0x1B0088, Zeros(64), 0, kInvalid, {}},
        ControlCase{"get_stats_short", 0x1B008C, {}, 23, kTooSmall, {}},
        ControlCase{"get_stats", 0x1B008C, {}, 24, STATUS_SUCCESS, Zeros(24)},
        ControlCase{"clear_stats", 0x1B0090, {}, 0, STATUS_SUCCESS, {}},
        ControlCase{"get_modem_control_short", 0x1B0094, {}, 3, kTooSmall, {}},
        ControlCase{"get_modem_control_as_loaded", 0x1B0094, {}, 4, STATUS_SUCCESS, U32(0)},
        ControlCase{"set_modem_control_short", 0x1B0098, Zeros(3), 0, kTooSmall, {}},
        ControlCase{"set_fifo_control_short", 0x1B009C, Zeros(3), 0, kTooSmall, {}},
        ControlCase{"unknown_serial_code", 0x1B00A0, {}, 0, kInvalid, {}},
        ControlCase{"unknown_device_type", 0x2A0000, {}, 0, kInvalid, {}},
        ControlCase{"read_device_descriptor_short", 0x222BC0, {}, 17, kInvalid, {}},
        ControlCase{"read_config_descriptor_without_room", 0x222BC4, {}, 0, kInvalid, {}},
        ControlCase{"reset_pipe_without_a_pipe_in_the_file", 0x222BCC, {}, 0, kInvalid, {}}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- what a set stores, a get hands back ----

struct RoundTripCase {
    const char* label;
    ULONG setCode;
    Bytes value;
    ULONG getCode;
};
void PrintTo(const RoundTripCase& c, std::ostream* out) { *out << c.label; }

class ControlRoundTrip : public SerialControlTest, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(ControlRoundTrip, TheGetReturnsWhatTheSetStored)
{
    const RoundTripCase& c = GetParam();
    auto set = Control(c.setCode, c.value);
    EXPECT_EQ(set->status(), STATUS_SUCCESS);
    EXPECT_EQ(set->information(), 0u);
    auto get = Control(c.getCode, {}, static_cast<ULONG>(c.value.size()));
    EXPECT_EQ(get->status(), STATUS_SUCCESS);
    EXPECT_EQ(get->information(), c.value.size());
    EXPECT_EQ(get->Output(c.value.size()), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ControlRoundTrip,
    ::testing::Values(
        RoundTripCase{"baud_rate_any_value", 0x1B0004, U32(12345), 0x1B0050},
        RoundTripCase{"line_control_not_validated", 0x1B000C, Bytes{9, 9, 9}, 0x1B0054},
        RoundTripCase{"chars_not_validated", 0x1B005C, Bytes{1, 2, 3, 4, 5, 6}, 0x1B0058},
        RoundTripCase{"handflow_with_error_abort", 0x1B0064, HandFlow(0x80000001, 0x80000000, 0, 0x7FFFFFFF),
                      0x1B0060},
        RoundTripCase{"every_valid_wait_mask_bit", 0x1B0044, U32(0x1FFF), 0x1B0040},
        RoundTripCase{"modem_control", 0x1B0098, U32(0x5A), 0x1B0094},
        RoundTripCase{"modem_control_as_dtr_and_rts", 0x1B0098, U32(0x03), 0x1B0078},
        RoundTripCase{"timeouts_with_an_endless_interval", 0x1B001C, Cat({U32(0xFFFFFFFF), U32(0), U32(0), U32(7), U32(9)}),
                      0x1B0020}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(SerialControlTest, TimeoutsAreReportedFromTheSettingsButReadsRunOnTheDevicesCopies)
{
    EXPECT_EQ(ext()->ReadTotalTimeoutConstant, 120000u);
    EXPECT_EQ(ext()->ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(Control(0x1B0020, {}, 20)->Output(20), Zeros(20)) << "reported although reads wait 120 s";

    Bytes timeouts = Cat({U32(5), U32(6), U32(7), U32(8), U32(9)});
    ASSERT_EQ(Control(0x1B001C, timeouts)->status(), STATUS_SUCCESS);
    EXPECT_EQ(ext()->ReadIntervalTimeout, 5u);
    EXPECT_EQ(ext()->ReadTotalTimeoutMultiplier, 6u);
    EXPECT_EQ(ext()->ReadTotalTimeoutConstant, 7u);
    EXPECT_EQ(Control(0x1B0020, {}, 20)->Output(20), timeouts);
}

TEST_F(SerialControlTest, TheImmediateCharacterGoesToTheInstrument)
{
    instrument().ExpectOut("!");
    auto request = Control(0x1B0018, Bytes{'!'});
    EXPECT_EQ(request->status(), STATUS_SUCCESS);
    EXPECT_EQ(request->information(), 0u) << "the request has no output buffer";
    ASSERT_EQ(instrument().OutTransferCount(), 1u);
    EXPECT_TRUE(instrument().Problems().empty());
}

// ---- the escape character ----

struct EscapeCase {
    const char* label;
    std::optional<Bytes> chars;     // SET_CHARS first
    std::optional<Bytes> handFlow;  // SET_HANDFLOW first
    UCHAR escape;
    NTSTATUS status;
};
void PrintTo(const EscapeCase& c, std::ostream* out) { *out << c.label; }

class EscapeCharacter : public SerialControlTest, public ::testing::WithParamInterface<EscapeCase> {};

TEST_P(EscapeCharacter, IsCheckedAgainstTheFlowControlSettings)
{
    const EscapeCase& c = GetParam();
    if (c.chars) {
        ASSERT_EQ(Control(0x1B005C, *c.chars)->status(), STATUS_SUCCESS);
    }
    if (c.handFlow) {
        ASSERT_EQ(Control(0x1B0064, *c.handFlow)->status(), STATUS_SUCCESS);
    }
    auto request = Control(0x1B007C, Bytes{c.escape});
    EXPECT_EQ(request->status(), c.status);
    EXPECT_EQ(request->information(), 0u);
}

const Bytes kXonXoff{0, 0, 0, 0, 0x11, 0x13};
const Bytes kErrorCharReplaced = HandFlow(0x1, 0x4, 1, 64);

INSTANTIATE_TEST_SUITE_P(
    Cases, EscapeCharacter,
    ::testing::Values(EscapeCase{"any_character_as_loaded", std::nullopt, std::nullopt, 0xFF, STATUS_SUCCESS},
                      EscapeCase{"zero_turns_insertion_off", kXonXoff, kErrorCharReplaced, 0, STATUS_SUCCESS},
                      EscapeCase{"equal_to_xon", kXonXoff, std::nullopt, 0x11, kInvalid},
                      EscapeCase{"equal_to_xoff", kXonXoff, std::nullopt, 0x13, kInvalid},
                      EscapeCase{"other_than_xon_and_xoff", kXonXoff, std::nullopt, 0x20, STATUS_SUCCESS},
                      EscapeCase{"error_character_replaced", std::nullopt, kErrorCharReplaced, 0x20, kInvalid}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- recovery of the hub port ----

struct PortResetCase {
    const char* label;
    ULONG portStatus;
    NTSTATUS resetResult;
    NTSTATUS status;
    unsigned resets;
};
void PrintTo(const PortResetCase& c, std::ostream* out) { *out << c.label; }

class ParentPortReset : public SerialControlTest, public ::testing::WithParamInterface<PortResetCase> {};

TEST_P(ParentPortReset, ResetsOnlyAConnectedPortThatIsNotEnabled)
{
    const PortResetCase& c = GetParam();
    usb().SetPortStatus(c.portStatus);
    usb().FailPortResets(c.resetResult);
    auto request = Control(0x222BC8);
    EXPECT_EQ(request->status(), c.status);
    EXPECT_EQ(request->information(), 0u);
    EXPECT_EQ(usb().portResets(), c.resets);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, ParentPortReset,
    ::testing::Values(
        PortResetCase{"enabled", USBD_PORT_ENABLED | USBD_PORT_CONNECTED, STATUS_SUCCESS, STATUS_SUCCESS, 0},
        PortResetCase{"connected_not_enabled", USBD_PORT_CONNECTED, STATUS_SUCCESS, STATUS_SUCCESS, 1},
        PortResetCase{"reset_fails", USBD_PORT_CONNECTED, STATUS_DEVICE_DATA_ERROR, STATUS_DEVICE_DATA_ERROR, 1}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- the descriptors ----

TEST_F(SerialControlTest, TheDescriptorCodesCopyWhatTheDeviceReported)
{
    const auto& descriptors = usb().config().descriptors;
    auto device = descriptors.DeviceBytes();
    auto deviceRequest = Control(0x222BC0, {}, 18);
    EXPECT_EQ(deviceRequest->status(), STATUS_SUCCESS);
    EXPECT_EQ(deviceRequest->Output(deviceRequest->information()), Bytes(device.begin(), device.end()));
    EXPECT_TRUE(deviceRequest->UnchangedFrom(18));

    const Bytes& configuration = descriptors.configuration;
    auto head = Control(0x222BC4, {}, 9);
    EXPECT_EQ(head->status(), STATUS_SUCCESS);
    EXPECT_EQ(head->Output(head->information()), Bytes(configuration.begin(), configuration.begin() + 9));
    EXPECT_TRUE(head->UnchangedFrom(9));
    auto whole = Control(0x222BC4, {}, static_cast<ULONG>(configuration.size() + 10));
    EXPECT_EQ(whole->status(), STATUS_SUCCESS);
    EXPECT_EQ(whole->Output(whole->information()), configuration);
    EXPECT_TRUE(whole->UnchangedFrom(configuration.size()));
}

// ---- purge and status query on the waiting bytes ----

struct PurgeCase {
    const char* label;
    ULONG mask;
    bool drops;
};
void PrintTo(const PurgeCase& c, std::ostream* out) { *out << c.label; }

class Purge : public SerialControlTest, public ::testing::WithParamInterface<PurgeCase> {};

TEST_P(Purge, DropsTheWaitingBytesOnlyForReceiveClear)
{
    LeaveWaiting("1234567");
    auto purge = Control(0x1B004C, U32(GetParam().mask));
    EXPECT_EQ(purge->status(), STATUS_SUCCESS);
    EXPECT_EQ(purge->information(), 0u);
    instrument().Packet("new");
    EXPECT_EQ(Read(7)->Text(), GetParam().drops ? "new" : "1234567");
}

INSTANTIATE_TEST_SUITE_P(Masks, Purge,
                         ::testing::Values(PurgeCase{"transmit_abort", 0x1, false},
                                           PurgeCase{"receive_abort", 0x2, false},
                                           PurgeCase{"transmit_clear", 0x4, false},
                                           PurgeCase{"receive_clear", 0x8, true}, PurgeCase{"every_bit", 0xF, true}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(SerialControlTest, AStatusQueryReportsWaitingBytesWithoutAskingTheInstrument)
{
    LeaveWaiting("1234567");
    unsigned transfers = BulkTransfers();
    auto query = Control(0x1B006C, {}, 20);
    EXPECT_EQ(query->status(), STATUS_SUCCESS);
    EXPECT_EQ(query->information(), 20u);
    EXPECT_EQ(query->Output(20), Status(7));
    EXPECT_EQ(BulkTransfers(), transfers);
    EXPECT_EQ(Read(7)->Text(), "1234567");
}

TEST_F(SerialControlTest, AStatusQueryKeepsAPacketThatArrivesWithinTwoMilliseconds)
{
    SetReadTimeouts(0, 0);
    auto query = PortRequest::Control(fdo(), 0x1B006C, {}, 20);
    query->Start();
    ASSERT_TRUE(WaitsOnTheClock(*query)) << "the read-ahead did not wait for the instrument";
    sys().clock().AdvanceBy(2 * emu::kMillisecond - 1);
    instrument().Packet("hello");
    query->WaitCompleted();
    EXPECT_EQ(query->status(), STATUS_SUCCESS);
    EXPECT_EQ(query->Output(20), Status(5));
    EXPECT_EQ(ext()->ReadTotalTimeoutConstant, 5000000u) << "a zero constant becomes 5000000 for good";

    unsigned transfers = BulkTransfers();
    EXPECT_EQ(Read(5)->Text(), "hello");
    EXPECT_EQ(BulkTransfers(), transfers);
}

TEST_F(SerialControlTest, AStatusQueryGivesUpAfterTwoMilliseconds)
{
    auto query = PortRequest::Control(fdo(), 0x1B006C, {}, 20);
    query->Start();
    ASSERT_TRUE(WaitsOnTheClock(*query)) << "the read-ahead did not wait for the instrument";
    sys().clock().AdvanceBy(2 * emu::kMillisecond - 1);
    EXPECT_EQ(sys().clock().TimedWaiters(), 1u);
    EXPECT_TRUE(EveryWaitEndsAfter(1)) << "the read-ahead waited longer than 2 ms";
    query->WaitCompleted();
    EXPECT_EQ(query->status(), STATUS_SUCCESS);
    EXPECT_EQ(query->information(), 20u);
    EXPECT_EQ(query->Output(20), Status(0));
    EXPECT_EQ(ext()->ReadTotalTimeoutConstant, 120000u);
    EXPECT_EQ(usb().PendingTransfers(), 0u) << "the read-ahead's transfer was not cancelled";

    instrument().Packet("late");
    EXPECT_EQ(Read(4)->Text(), "late");
}

}  // namespace
}  // namespace tesmo::test
