// The COM port as an application sees it, through the C ABI only: open,
// configure, command and answer, exclusivity, bytes that wait between
// handles, sleep and wake, and unplugging under an open handle.
#include <map>
#include <ostream>
#include <string>
#include <thread>

#include "CapiSession.h"

namespace tesmo::capi_test {
namespace {

constexpr COMMTIMEOUTS kOneSecondReads{0, 0, 1000, 0, 0};
constexpr char kIdentity[] = "TESMO,Model 7,SN 000123,FW 1.5\n";

using ComPortTest = CapiTest;

TEST_F(ComPortTest, ConfiguredPortAnswersCommands)
{
    std::int32_t device = PlugCommandInstrument();
    char name[16];
    std::uint32_t length = 0;
    ASSERT_EQ(R(tesmo_port_name(device, name, sizeof name, &length)), kOk);
    EXPECT_EQ(std::string(name), "COM3");

    HANDLE port = OpenPort();
    Configure(port, kOneSecondReads);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);

    ASSERT_NO_FATAL_FAILURE(Send(port, "*IDN?\n"));
    EXPECT_EQ(ReadLine(port), kIdentity);
    ASSERT_NO_FATAL_FAILURE(Send(port, "MEAS?\n"));
    EXPECT_EQ(ReadLine(port), "+1.000000E+00\n");

    DWORD errors = 0xDEAD;
    COMSTAT status{};
    status.cbInQue = 0xDEAD;
    ASSERT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(status.cbInQue, 0u);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(ComPortTest, SecondOpenIsRefusedUntilTheFirstCloses)
{
    PlugCommandInstrument();
    HANDLE first = OpenPort();
    HANDLE second = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(first));
    HANDLE again = OpenPort();
    EXPECT_TRUE(CloseHandle(again));
}

// An answer of two packets (64 + 37 bytes); a first read of 10 bytes leaves
// 54 bytes of the first packet in the reassembly buffer.
TEST_F(ComPortTest, WaitingBytesSurviveCloseAndReopen)
{
    const std::string identity(100, 'x');
    PlugCommandInstrument(identity.c_str());
    HANDLE port = OpenPort();
    Configure(port, kOneSecondReads);
    ASSERT_NO_FATAL_FAILURE(Send(port, "*IDN?\n"));
    char first[10];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(port, first, sizeof first, &got, nullptr));
    ASSERT_EQ(got, sizeof first);
    ASSERT_TRUE(CloseHandle(port));

    port = OpenPort();
    DWORD errors = 0;
    COMSTAT status{};
    ASSERT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(status.cbInQue, 54u);
    std::string rest = ReadLine(port);
    EXPECT_EQ(std::string(first, got) + rest, identity + "\n");
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(ComPortTest, SleepAndWakeWithThePortOpen)
{
    std::int32_t device = PlugCommandInstrument();
    HANDLE port = OpenPort();
    Configure(port, kOneSecondReads);
    std::int32_t status = -1;
    ASSERT_EQ(R(tesmo_system_sleep(3, &status)), kOk) << std::hex << status;

    // Asleep, the driver admits no transfer: the write fails at once.
    DWORD written = 0xDEAD;
    EXPECT_FALSE(WriteFile(port, "*IDN?\n", 6, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(written, 0u);

    ASSERT_EQ(R(tesmo_system_wake(&status)), kOk) << std::hex << status;
    ASSERT_NO_FATAL_FAILURE(Send(port, "*IDN?\n"));
    EXPECT_EQ(ReadLine(port), kIdentity);
    std::uint32_t state = 0;
    ASSERT_EQ(R(tesmo_device_state(device, &state)), kOk);
    EXPECT_EQ(state, static_cast<std::uint32_t>(TESMO_DEVICE_STARTED));
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(ComPortTest, UnplugWithThePortOpenThenClose)
{
    std::int32_t device = PlugCommandInstrument();
    HANDLE port = OpenPort();
    ASSERT_NO_FATAL_FAILURE(Send(port, "*IDN?\n"));
    EXPECT_EQ(ReadLine(port), kIdentity);

    ASSERT_EQ(R(tesmo_unplug(device)), kOk);
    DWORD written = 0xDEAD;
    EXPECT_FALSE(WriteFile(port, "*IDN?\n", 6, &written, nullptr));
    EXPECT_EQ(written, 0u);
    // The port's name went with the surprise removal.
    EXPECT_EQ(CreateFileA("\\\\.\\COM3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    std::uint32_t state = 0;
    ASSERT_EQ(R(tesmo_device_state(device, &state)), kOk);
    EXPECT_EQ(state, static_cast<std::uint32_t>(TESMO_DEVICE_UNPLUGGED));

    EXPECT_TRUE(CloseHandle(port));
    ASSERT_EQ(R(tesmo_wait_removed(device)), kOk);
    ASSERT_EQ(R(tesmo_device_state(device, &state)), kOk);
    EXPECT_EQ(state, static_cast<std::uint32_t>(TESMO_DEVICE_UNPLUGGED | TESMO_DEVICE_REMOVED));
}

// What ends a read that waits for the instrument ends it with its own status:
// the application can tell a device that went away from an empty read.
enum class Ending { Unplug, Sleep };

struct WaitingReadCase {
    const char* label;
    Ending ending;
    bool overlapped;
    DWORD error;
};

const WaitingReadCase kWaitingReads[] = {
    {"UnplugSynchronous", Ending::Unplug, false, ERROR_NOT_READY},
    {"UnplugOverlapped", Ending::Unplug, true, ERROR_NOT_READY},
    {"SleepSynchronous", Ending::Sleep, false, ERROR_OPERATION_ABORTED},
    {"SleepOverlapped", Ending::Sleep, true, ERROR_OPERATION_ABORTED},
};

class WaitingReadTest : public CapiTest, public ::testing::WithParamInterface<WaitingReadCase> {};

TEST_P(WaitingReadTest, FailsWithTheStatusOfWhatEndedIt)
{
    const WaitingReadCase& c = GetParam();
    std::int32_t device = PlugCommandInstrument();
    HANDLE port = OpenPort("\\\\.\\COM3", c.overlapped);
    Configure(port, COMMTIMEOUTS{0, 0, 60000, 0, 0});
    BOOL ok = TRUE;
    DWORD got = 0xDEAD;
    DWORD error = 0;
    std::thread reader([&] {
        char buffer[10];
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ok = ReadFile(port, buffer, sizeof buffer, &got, c.overlapped ? &overlapped : nullptr);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(port, &overlapped, &got, TRUE);
        error = GetLastError();
        CloseHandle(overlapped.hEvent);
    });
    ASSERT_EQ(R(tesmo_clock_wait_for_timed_waiters(1)), kOk);
    std::int32_t status = 0;
    if (c.ending == Ending::Unplug) {
        ASSERT_EQ(R(tesmo_unplug(device)), kOk);
    } else {
        ASSERT_EQ(R(tesmo_system_sleep(3, &status)), kOk);
    }
    reader.join();
    EXPECT_FALSE(ok) << "the read ended as a success with " << got << " bytes";
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(got, 0u);
    if (c.ending == Ending::Sleep) {
        ASSERT_EQ(R(tesmo_system_wake(&status)), kOk);
    }
    EXPECT_TRUE(CloseHandle(port));
}

INSTANTIATE_TEST_SUITE_P(Endings, WaitingReadTest, ::testing::ValuesIn(kWaitingReads),
                         [](const auto& info) { return std::string(info.param.label); });

// With no time limit at all (every read time-out 0), a read does not wait:
// it returns at once with what is waiting, here nothing.
TEST_F(ComPortTest, ZeroTimeOutsReturnAtOnce)
{
    PlugCommandInstrument();
    HANDLE port = OpenPort();
    Configure(port, COMMTIMEOUTS{0, 0, 0, 0, 0});
    std::int64_t before = 0, after = 0;
    ASSERT_EQ(R(tesmo_clock_now(&before)), kOk);
    char buffer[10];
    DWORD got = 0xDEAD;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);
    ASSERT_EQ(R(tesmo_clock_now(&after)), kOk);
    EXPECT_EQ(after, before);
    EXPECT_TRUE(CloseHandle(port));
}

// A replugged instrument takes the port of the one before it once that one's
// removal has come, and its COM name with it, whether or not the application
// waited for the removal; while an open handle holds the old device back,
// the new one gets the next port and name.
struct ReplugCase {
    const char* label;
    bool openAcrossTheUnplug;
    bool closeBeforeTheReplug;
    const char* name;
};

void PrintTo(const ReplugCase& c, std::ostream* out) { *out << c.label; }

const ReplugCase kReplugCases[] = {
    {"PortClosedBeforeTheUnplug", false, true, "COM3"},
    {"PortClosedAfterTheUnplug", true, true, "COM3"},
    {"PortHeldOpenAcrossTheReplug", true, false, "COM4"},
};

class ReplugTest : public CapiTest, public ::testing::WithParamInterface<ReplugCase> {};

TEST_P(ReplugTest, TheNewDeviceGetsTheNameOfThePortItTakes)
{
    const ReplugCase& c = GetParam();
    std::int32_t first = PlugCommandInstrument();
    HANDLE old = c.openAcrossTheUnplug ? OpenPort() : INVALID_HANDLE_VALUE;
    ASSERT_EQ(R(tesmo_unplug(first)), kOk);
    if (c.closeBeforeTheReplug && old != INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(CloseHandle(old));
    }

    std::int32_t second = PlugCommandInstrument();
    char name[16] = "";
    ASSERT_EQ(R(tesmo_port_name(second, name, sizeof name, nullptr)), kOk);
    EXPECT_EQ(std::string(name), c.name);
    HANDLE port = OpenPort((std::string("\\\\.\\") + name).c_str());
    ASSERT_NO_FATAL_FAILURE(Send(port, "*IDN?\n"));
    EXPECT_EQ(ReadLine(port), kIdentity);
    EXPECT_TRUE(CloseHandle(port));
    if (!c.closeBeforeTheReplug) {
        EXPECT_TRUE(CloseHandle(old));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplugTest, ::testing::ValuesIn(kReplugCases),
                         [](const auto& info) { return std::string(info.param.label); });

// The port installer keeps a COM name per device instance: an instrument
// with a serial number is the same instance wherever it is plugged in and
// gets its name back; a different one gets a new name, also on a port an
// earlier instrument left. Each row plugs (a serial number) or unplugs (a
// row's label) and, for a plug, says the name it must get.
struct NameStep {
    const char* label;
    const char* serial;  // null: unplug the instrument of row `unplug`
    const char* unplug;
    const char* name;
};

const NameStep kNameSteps[] = {
    {"A", "SN-A", nullptr, "COM3"},
    {"B", "SN-B", nullptr, "COM4"},
    {"A leaves", nullptr, "A", nullptr},
    {"C on A's port", "SN-C", nullptr, "COM5"},
    {"C leaves", nullptr, "C", nullptr},
    {"B leaves", nullptr, "B", nullptr},
    {"B comes first", "SN-B", nullptr, "COM4"},
    {"A again", "SN-A", nullptr, "COM3"},
    {"C again", "SN-C", nullptr, "COM5"},
};

TEST_F(ComPortTest, TheComNameFollowsTheSerialNumberFromPortToPort)
{
    std::map<std::string, std::int32_t> devices;
    for (const NameStep& step : kNameSteps) {
        if (!step.serial) {
            std::int32_t device = devices.at(step.unplug);
            ASSERT_EQ(R(tesmo_unplug(device)), kOk) << step.label;
            ASSERT_EQ(R(tesmo_wait_removed(device)), kOk) << step.label;
            continue;
        }
        tesmo_instrument instrument;
        tesmo_instrument_init(&instrument, TESMO_INSTRUMENT_COMMAND);
        instrument.serial_number = step.serial;
        std::int32_t device = Plug(instrument);
        devices[std::string(step.label).substr(0, 1)] = device;
        char name[16] = "";
        ASSERT_EQ(R(tesmo_port_name(device, name, sizeof name, nullptr)), kOk) << step.label;
        EXPECT_EQ(std::string(name), step.name) << step.label;
    }
    HANDLE port = OpenPort("\\\\.\\COM5");
    ASSERT_NO_FATAL_FAILURE(Send(port, "*IDN?\n"));
    EXPECT_EQ(ReadLine(port), kIdentity);
    EXPECT_TRUE(CloseHandle(port));
}

// The command instrument as a user sets it up: its answers' line end and
// answers of the user's own, which also replace a known one.
struct AnswerCase {
    const char* label;
    std::int32_t lineEnd;
    const char* answers;
    const char* command;
    const char* answer;
};

const AnswerCase kAnswerCases[] = {
    {"LfByDefault", TESMO_LINE_END_LF, nullptr, "*IDN?\n", kIdentity},
    {"CrLf", TESMO_LINE_END_CRLF, nullptr, "*IDN?\n", "TESMO,Model 7,SN 000123,FW 1.5\r\n"},
    {"CrOnAnError", TESMO_LINE_END_CR, nullptr, "NOPE?\n", "ERR -113,\"Undefined header\"\r"},
    {"OwnAnswer", TESMO_LINE_END_CRLF, "VOLT?=+12.50\r\n*IDN?=ACME,Meter\n", "VOLT?\n", "+12.50\r\n"},
    {"OwnAnswerReplacesAKnownOne", TESMO_LINE_END_LF, "VOLT?=+12.50\n*IDN?=ACME,Meter", "*IDN?\n", "ACME,Meter\n"},
};

class AnswerTest : public CapiTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, TheInstrumentAnswersAsSetUp)
{
    const AnswerCase& c = GetParam();
    tesmo_instrument instrument;
    tesmo_instrument_init(&instrument, TESMO_INSTRUMENT_COMMAND);
    instrument.line_end = c.lineEnd;
    instrument.answers = c.answers;
    Plug(instrument);
    HANDLE port = OpenPort();
    Configure(port, kOneSecondReads);
    ASSERT_NO_FATAL_FAILURE(Send(port, c.command));
    EXPECT_EQ(ReadLine(port), c.answer);
    EXPECT_TRUE(CloseHandle(port));
}

INSTANTIATE_TEST_SUITE_P(Cases, AnswerTest, ::testing::ValuesIn(kAnswerCases),
                         [](const auto& info) { return std::string(info.param.label); });

// A read waits for the instrument under its time limit, on emulated time.
TEST_F(ManualClockTest, ReadTimesOutWhenTheTestMovesTheClock)
{
    PlugCommandInstrument();
    HANDLE port = OpenPort();
    Configure(port, kOneSecondReads);
    BOOL readOk = TRUE;
    DWORD got = 0xDEAD;
    DWORD error = 0;
    std::thread reader([&] {
        char buffer[8];
        readOk = ReadFile(port, buffer, sizeof buffer, &got, nullptr);
        error = GetLastError();
    });
    ASSERT_EQ(R(tesmo_clock_wait_for_timed_waiters(1)), kOk);
    ASSERT_EQ(R(tesmo_clock_advance(999 * 10'000)), kOk);
    ASSERT_EQ(R(tesmo_clock_wait_for_timed_waiters(1)), kOk);  // still waiting at 999 ms
    ASSERT_EQ(R(tesmo_clock_advance(1 * 10'000)), kOk);
    reader.join();
    // The driver completes a timed-out read with STATUS_TIMEOUT, a success code.
    EXPECT_TRUE(readOk) << error;
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
}  // namespace tesmo::capi_test
