// An application's mistakes and hostile input, each made through the C ABI in
// a child process: the library must answer with an error and the process
// must go on and exit cleanly, never crash or hang. The sessions run with the
// default verifier mode (a violation aborts), so a violation blamed on the
// driver, or a library abort, ends the child with a signal.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "tesmo/control.h"
#include "tesmo/windows.h"

namespace tesmo::capi_test {
namespace {

constexpr DWORD kSetBaudRate = 0x001B0004;  // IOCTL_SERIAL_SET_BAUD_RATE, METHOD_BUFFERED
constexpr DWORD kGetBaudRate = 0x001B0050;  // IOCTL_SERIAL_GET_BAUD_RATE, METHOD_BUFFERED
constexpr char kPort[] = "\\\\.\\COM3";

void ExpectResult(ChildReport& r, tesmo_result got, tesmo_result want, const std::string& what)
{
    r.ExpectEq(std::string(tesmo_result_text(got)), std::string(tesmo_result_text(want)), what);
}

void ExpectError(ChildReport& r, BOOL ok, DWORD error, const std::string& what)
{
    r.Expect(!ok, what + " succeeded");
    r.ExpectEq(GetLastError(), error, what + ": last error");
}

void Boot(ChildReport& r, bool autoAdvance = true, std::uint32_t watchdogMs = 20000)
{
    tesmo_boot_options options;
    tesmo_boot_options_init(&options);
    options.auto_advance_clock = autoAdvance ? 1 : 0;
    options.watchdog_ms = watchdogMs;
    ExpectResult(r, tesmo_boot(&options), TESMO_OK, "tesmo_boot");
}

std::int32_t Plug(ChildReport& r, const tesmo_instrument& instrument)
{
    std::int32_t device = 0, status = 0;
    ExpectResult(r, tesmo_plug(&instrument, &device, &status), TESMO_OK, "tesmo_plug");
    return device;
}

std::int32_t PlugCommandInstrument(ChildReport& r)
{
    tesmo_instrument instrument;
    tesmo_instrument_init(&instrument, TESMO_INSTRUMENT_COMMAND);
    return Plug(r, instrument);
}

HANDLE OpenPort(ChildReport& r)
{
    HANDLE port = CreateFileA(kPort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    r.Expect(port != INVALID_HANDLE_VALUE, "CreateFileA of COM3 failed with " + std::to_string(GetLastError()));
    return port;
}

// The session's violations must be exactly `expected` (rule names, in order).
void ShutDown(ChildReport& r, const std::string& expected = "")
{
    std::uint32_t count = 0;
    ExpectResult(r, tesmo_shutdown(&count), TESMO_OK, "tesmo_shutdown");
    std::string rules;
    for (std::uint32_t i = 0; i < count; ++i) {
        char rule[64] = "";
        tesmo_violation_rule(i, rule, sizeof rule, nullptr);
        rules += (rules.empty() ? "" : " ") + std::string(rule);
    }
    r.ExpectEq(rules, expected, "violations of the session");
}

// Reads until a read fails; returns the error it failed with.
DWORD ReadUntilFailure(HANDLE port)
{
    char buffer[16];
    DWORD got = 0;
    while (ReadFile(port, buffer, sizeof buffer, &got, nullptr)) {}
    return GetLastError();
}

// ---- the cases ----

// The session still runs at exit(): the library shuts it down there.
void ExitAfterPlugWithoutShutdown(ChildReport& r)
{
    Boot(r);
    PlugCommandInstrument(r);
}

void ExitWhileAnotherThreadReads(ChildReport& r)
{
    Boot(r);
    PlugCommandInstrument(r);
    HANDLE port = OpenPort(r);
    std::thread([port] { ReadUntilFailure(port); }).detach();
    ExpectResult(r, tesmo_clock_wait_for_timed_waiters(1), TESMO_OK, "the read waits for the instrument");
}

// Once its removal has finished the device has left the tree. Its id still
// answers as control.h says, also once the session has let go of everything
// the device had (a removal it waited for, or another plug-in, collects it).
void RequestsForARemovedDevice(ChildReport& r)
{
    Boot(r);
    std::int32_t device = PlugCommandInstrument(r);
    ExpectResult(r, tesmo_unplug(device), TESMO_OK, "tesmo_unplug");
    ExpectResult(r, tesmo_wait_removed(device), TESMO_OK, "tesmo_wait_removed");
    for (const std::string when : {" after the removal", " after another plug-in"}) {
        std::int32_t status = 0;
        ExpectResult(r, tesmo_unplug(device), TESMO_E_INVALID_STATE, "tesmo_unplug" + when);
        ExpectResult(r, tesmo_wait_removed(device), TESMO_OK, "tesmo_wait_removed" + when);
        ExpectResult(r, tesmo_rebalance(device, &status), TESMO_E_NO_SUCH_DEVICE, "tesmo_rebalance" + when);
        ExpectResult(r, tesmo_disable(device, &status), TESMO_E_NO_SUCH_DEVICE, "tesmo_disable" + when);
        ExpectResult(r, tesmo_enable(device, &status), TESMO_E_NO_SUCH_DEVICE, "tesmo_enable" + when);
        std::uint32_t state = 0;
        ExpectResult(r, tesmo_device_state(device, &state), TESMO_OK, "tesmo_device_state" + when);
        r.ExpectEq(state, std::uint32_t{TESMO_DEVICE_UNPLUGGED | TESMO_DEVICE_REMOVED}, "state" + when);
        char name[16] = "";
        ExpectResult(r, tesmo_port_name(device, name, sizeof name, nullptr), TESMO_OK, "tesmo_port_name" + when);
        r.ExpectEq(std::string(name), std::string("COM3"), "port name" + when);
        std::uint32_t size = 0;
        ExpectResult(r, tesmo_event_log(device, nullptr, 0, &size, nullptr), TESMO_E_DEVICE_GONE,
                     "tesmo_event_log" + when);
        PlugCommandInstrument(r);
    }
    ShutDown(r);
}

// Surprise-removed but held in the tree by an open handle: no request may
// bring the port back to life.
void PnpRequestsForAnUnpluggedDeviceWithItsPortOpen(ChildReport& r)
{
    Boot(r);
    std::int32_t device = PlugCommandInstrument(r);
    HANDLE port = OpenPort(r);
    ExpectResult(r, tesmo_unplug(device), TESMO_OK, "tesmo_unplug");
    DWORD modem = 0;
    r.Expect(!GetCommModemStatus(port, &modem), "a control after the unplug succeeded");
    DWORD afterUnplug = GetLastError();
    std::int32_t status = 0;
    ExpectResult(r, tesmo_rebalance(device, &status), TESMO_E_INVALID_STATE, "tesmo_rebalance");
    ExpectResult(r, tesmo_disable(device, &status), TESMO_E_INVALID_STATE, "tesmo_disable");
    ExpectResult(r, tesmo_enable(device, &status), TESMO_E_INVALID_STATE, "tesmo_enable");
    ExpectError(r, GetCommModemStatus(port, &modem), afterUnplug, "a control after the refused requests");
    r.Expect(CloseHandle(port), "CloseHandle");
    ExpectResult(r, tesmo_wait_removed(device), TESMO_OK, "tesmo_wait_removed");
    ShutDown(r);
}

void RebalanceOfADisabledDevice(ChildReport& r)
{
    Boot(r);
    std::int32_t device = PlugCommandInstrument(r);
    std::int32_t status = 0;
    ExpectResult(r, tesmo_disable(device, &status), TESMO_OK, "tesmo_disable");
    ExpectResult(r, tesmo_rebalance(device, &status), TESMO_E_INVALID_STATE, "tesmo_rebalance");
    ExpectResult(r, tesmo_disable(device, &status), TESMO_E_INVALID_STATE, "tesmo_disable again");
    std::uint32_t state = 0;
    tesmo_device_state(device, &state);
    r.ExpectEq(state, std::uint32_t{TESMO_DEVICE_REMOVED}, "state after the refused rebalance");
    ExpectResult(r, tesmo_enable(device, &status), TESMO_OK, "tesmo_enable");
    ExpectResult(r, tesmo_enable(device, &status), TESMO_E_INVALID_STATE, "tesmo_enable again");
    ShutDown(r);
}

void InstrumentParametersOutOfRange(ChildReport& r)
{
    Boot(r, false);
    const std::string longIdentity(TESMO_MAX_IDENTITY_LENGTH + 1, 'x');
    const struct {
        const char* label;
        int kind;
        void (*change)(tesmo_instrument&, const std::string&);
    } kOutOfRange[] = {
        {"burst_packets", TESMO_INSTRUMENT_STREAM, [](auto& i, auto&) { i.burst_packets = 0xFFFFFFFF; }},
        {"burst_packets", TESMO_INSTRUMENT_STREAM,
         [](auto& i, auto&) { i.burst_packets = TESMO_MAX_BURST_PACKETS + 1; }},
        {"bytes_per_second", TESMO_INSTRUMENT_STREAM, [](auto& i, auto&) { i.bytes_per_second = UINT64_MAX; }},
        {"bytes_per_second", TESMO_INSTRUMENT_STREAM,
         [](auto& i, auto&) { i.bytes_per_second = TESMO_MAX_BYTES_PER_SECOND + 1; }},
        {"latency", TESMO_INSTRUMENT_COMMAND, [](auto& i, auto&) { i.latency = INT64_MAX; }},
        {"latency", TESMO_INSTRUMENT_COMMAND, [](auto& i, auto&) { i.latency = -1; }},
        {"identity", TESMO_INSTRUMENT_COMMAND, [](auto& i, auto& text) { i.identity = text.c_str(); }},
        {"struct_size", TESMO_INSTRUMENT_COMMAND, [](auto& i, auto&) { i.struct_size = 0; }},
        {"serial_number empty", TESMO_INSTRUMENT_COMMAND, [](auto& i, auto&) { i.serial_number = ""; }},
        {"serial_number with a blank", TESMO_INSTRUMENT_COMMAND, [](auto& i, auto&) { i.serial_number = "SN 1"; }},
        {"serial_number with a comma", TESMO_INSTRUMENT_LOOPBACK, [](auto& i, auto&) { i.serial_number = "A,B"; }},
        {"line_end unknown", TESMO_INSTRUMENT_COMMAND, [](auto& i, auto&) { i.line_end = 3; }},
        {"answers without =", TESMO_INSTRUMENT_COMMAND, [](auto& i, auto&) { i.answers = "VOLT? 12\n"; }},
        {"answers with an empty header", TESMO_INSTRUMENT_COMMAND, [](auto& i, auto&) { i.answers = "=12\n"; }},
        {"serial_number too long", TESMO_INSTRUMENT_STREAM,
         [](auto& i, auto& text) { i.serial_number = text.c_str(); }},
    };
    for (const auto& row : kOutOfRange) {
        tesmo_instrument instrument;
        tesmo_instrument_init(&instrument, row.kind);
        row.change(instrument, longIdentity);
        std::int32_t device = -1;
        ExpectResult(r, tesmo_plug(&instrument, &device, nullptr), TESMO_E_INVALID_ARGUMENT, row.label);
        r.ExpectEq(device, -1, std::string(row.label) + ": device id");
    }
    // The largest values allowed make a working instrument.
    tesmo_instrument stream;
    tesmo_instrument_init(&stream, TESMO_INSTRUMENT_STREAM);
    stream.bytes_per_second = TESMO_MAX_BYTES_PER_SECOND;
    stream.burst_packets = TESMO_MAX_BURST_PACKETS;
    Plug(r, stream);
    HANDLE port = OpenPort(r);
    ExpectResult(r, tesmo_clock_advance(10000), TESMO_OK, "one millisecond of streaming");
    char bytes[64];
    DWORD got = 0;
    r.Expect(ReadFile(port, bytes, sizeof bytes, &got, nullptr) && got == sizeof bytes, "a read of the stream");
    r.Expect(CloseHandle(port), "CloseHandle");
    ShutDown(r);
}

// A boot option outside its range is refused before anything boots, and
// before the driver image is looked for; the limits themselves, any value
// of the on/off fields and the older, shorter struct boot a working system.
void BootOptionsOutOfRange(ChildReport& r)
{
    constexpr auto kOlderSize = std::uint32_t{offsetof(tesmo_boot_options, controlled_schedule)};
    const struct {
        const char* label;
        tesmo_result expected;
        void (*change)(tesmo_boot_options&);
    } kRows[] = {
        {"struct_size 0", TESMO_E_INVALID_ARGUMENT, [](auto& o) { o.struct_size = 0; }},
        {"struct_size short of the older one", TESMO_E_INVALID_ARGUMENT,
         [](auto& o) { o.struct_size = kOlderSize - 4; }},
        {"struct_size between the two", TESMO_E_INVALID_ARGUMENT, [](auto& o) { o.struct_size = kOlderSize + 4; }},
        {"struct_size past the struct", TESMO_E_INVALID_ARGUMENT,
         [](auto& o) { o.struct_size = sizeof(tesmo_boot_options) + 8; }},
        {"verifier_mode -1", TESMO_E_INVALID_ARGUMENT, [](auto& o) { o.verifier_mode = -1; }},
        {"verifier_mode 3", TESMO_E_INVALID_ARGUMENT, [](auto& o) { o.verifier_mode = 3; }},
        {"watchdog_ms 1", TESMO_E_INVALID_ARGUMENT, [](auto& o) { o.watchdog_ms = 1; }},
        {"watchdog_ms below the least", TESMO_E_INVALID_ARGUMENT,
         [](auto& o) { o.watchdog_ms = TESMO_MIN_WATCHDOG_MS - 1; }},
        {"watchdog_ms past the most", TESMO_E_INVALID_ARGUMENT,
         [](auto& o) { o.watchdog_ms = TESMO_MAX_WATCHDOG_MS + 1; }},
        {"watchdog_ms 0xFFFFFFFF", TESMO_E_INVALID_ARGUMENT, [](auto& o) { o.watchdog_ms = UINT32_MAX; }},
        {"schedule_depth past the deepest", TESMO_E_INVALID_ARGUMENT,
         [](auto& o) {
             o.controlled_schedule = 1;
             o.schedule_depth = TESMO_MAX_SCHEDULE_DEPTH + 1;
         }},
        {"schedule_depth 0xFFFFFFFF", TESMO_E_INVALID_ARGUMENT,
         [](auto& o) {
             o.controlled_schedule = 1;
             o.schedule_depth = UINT32_MAX;
         }},
        {"schedule_depth 0xFFFFFFFF without a controlled schedule", TESMO_E_INVALID_ARGUMENT,
         [](auto& o) { o.schedule_depth = UINT32_MAX; }},
        {"schedule_depth 0xFFFFFFFF and an image that does not exist", TESMO_E_INVALID_ARGUMENT,
         [](auto& o) {
             o.schedule_depth = UINT32_MAX;
             o.driver_image = "/nonexistent/tesmo_driver.so";
         }},
        {"the wall clock under a controlled schedule", TESMO_E_INVALID_ARGUMENT,
         [](auto& o) {
             o.auto_advance_clock = TESMO_CLOCK_WALL;
             o.controlled_schedule = 1;
         }},
        {"driver_image that does not exist", TESMO_E_DRIVER_LOAD,
         [](auto& o) { o.driver_image = "/nonexistent/tesmo_driver.so"; }},
        {"driver_image empty", TESMO_E_DRIVER_LOAD, [](auto& o) { o.driver_image = ""; }},
        // Within the ranges: a session that runs.
        {"watchdog_ms the least", TESMO_OK, [](auto& o) { o.watchdog_ms = TESMO_MIN_WATCHDOG_MS; }},
        {"watchdog_ms the most", TESMO_OK, [](auto& o) { o.watchdog_ms = TESMO_MAX_WATCHDOG_MS; }},
        {"watchdog_ms 0 (the default)", TESMO_OK, [](auto& o) { o.watchdog_ms = 0; }},
        {"auto_advance_clock -1", TESMO_OK, [](auto& o) { o.auto_advance_clock = -1; }},
        {"the wall clock", TESMO_OK, [](auto& o) { o.auto_advance_clock = TESMO_CLOCK_WALL; }},
        {"the deepest schedule, controlled_schedule 2 and the last seed", TESMO_OK,
         [](auto& o) {
             o.controlled_schedule = 2;
             o.schedule_depth = TESMO_MAX_SCHEDULE_DEPTH;
             o.schedule_seed = UINT64_MAX;
         }},
        {"the older struct_size, the schedule fields past it unread", TESMO_OK,
         [](auto& o) {
             o.struct_size = kOlderSize;
             o.controlled_schedule = 1;
             o.schedule_depth = UINT32_MAX;
         }},
    };
    for (const auto& row : kRows) {
        const std::string label = row.label;
        tesmo_boot_options options;
        tesmo_boot_options_init(&options);
        row.change(options);
        tesmo_result result = tesmo_boot(&options);
        ExpectResult(r, result, row.expected, label);
        std::int32_t booted = -1;
        tesmo_is_booted(&booted);
        r.ExpectEq(booted, result == TESMO_OK ? 1 : 0, label + ": booted");
        if (result != TESMO_OK) continue;
        // Attached for its calls, as a controlled schedule wants its threads.
        ExpectResult(r, tesmo_thread_attach(), TESMO_OK, label + ": tesmo_thread_attach");
        tesmo_instrument instrument;
        tesmo_instrument_init(&instrument, TESMO_INSTRUMENT_COMMAND);
        std::int32_t device = 0;
        ExpectResult(r, tesmo_plug(&instrument, &device, nullptr), TESMO_OK, label + ": tesmo_plug");
        ExpectResult(r, tesmo_thread_detach(), TESMO_OK, label + ": tesmo_thread_detach");
        std::uint32_t violations = 1;
        ExpectResult(r, tesmo_shutdown(&violations), TESMO_OK, label + ": tesmo_shutdown");
        r.ExpectEq(violations, 0u, label + ": violations");
    }
}

void ControlArgumentsOutOfRange(ChildReport& r)
{
    Boot(r, false);
    ExpectResult(r, tesmo_clock_advance(1), TESMO_OK, "tesmo_clock_advance");
    ExpectResult(r, tesmo_clock_advance(INT64_MAX), TESMO_E_INVALID_ARGUMENT, "tesmo_clock_advance past the end");
    ExpectResult(r, tesmo_clock_advance(-1), TESMO_E_INVALID_ARGUMENT, "tesmo_clock_advance backwards");
    ExpectResult(r, tesmo_system_sleep(6, nullptr), TESMO_E_INVALID_ARGUMENT, "tesmo_system_sleep(6)");
    ExpectResult(r, tesmo_plug(nullptr, nullptr, nullptr), TESMO_E_INVALID_ARGUMENT, "tesmo_plug(NULL)");
    ExpectResult(r, tesmo_rebalance(99, nullptr), TESMO_E_NO_SUCH_DEVICE, "tesmo_rebalance of an unknown id");
    ShutDown(r);
}

// Waits that nothing will end give up at the watchdog with an error.
void WaitsThatCannotEnd(ChildReport& r)
{
    Boot(r, true, 2000);
    std::int32_t device = PlugCommandInstrument(r);
    HANDLE port = OpenPort(r);
    ExpectResult(r, tesmo_unplug(device), TESMO_OK, "tesmo_unplug");
    ExpectResult(r, tesmo_wait_removed(device), TESMO_E_TIMEOUT, "tesmo_wait_removed with the port open");
    ExpectResult(r, tesmo_clock_wait_for_timed_waiters(5), TESMO_E_TIMEOUT, "waiting for five timed waiters");
    r.Expect(CloseHandle(port), "CloseHandle");
    ExpectResult(r, tesmo_wait_removed(device), TESMO_OK, "tesmo_wait_removed");
    ShutDown(r);
}

void Win32CallsBeforeBoot(ChildReport& r)
{
    HANDLE port = CreateFileA(kPort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    r.Expect(port == INVALID_HANDLE_VALUE, "CreateFileA before boot succeeded");
    r.ExpectEq(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND}, "CreateFileA before boot: last error");
    auto stale = reinterpret_cast<HANDLE>(std::uintptr_t{0x100});
    char buffer[4];
    DWORD got = 0;
    ExpectError(r, ReadFile(stale, buffer, sizeof buffer, &got, nullptr), ERROR_INVALID_HANDLE, "ReadFile");
    ExpectError(r, SetCommMask(stale, 0), ERROR_INVALID_HANDLE, "SetCommMask");
    r.Expect(CreateEventA(nullptr, TRUE, FALSE, nullptr) == nullptr, "CreateEventA before boot succeeded");
    r.ExpectEq(WaitForSingleObject(stale, 0), DWORD{WAIT_FAILED}, "WaitForSingleObject");
    ExpectError(r, CloseHandle(stale), ERROR_INVALID_HANDLE, "CloseHandle");
}

void Win32CallsAfterShutdown(ChildReport& r)
{
    Boot(r);
    PlugCommandInstrument(r);
    HANDLE port = OpenPort(r);
    ShutDown(r, "HandleLeak");
    char buffer[4];
    DWORD got = 0;
    ExpectError(r, ReadFile(port, buffer, sizeof buffer, &got, nullptr), ERROR_INVALID_HANDLE, "ReadFile");
    ULONG baud = 9600;
    ExpectError(r, DeviceIoControl(port, kSetBaudRate, &baud, sizeof baud, nullptr, 0, &got, nullptr),
                ERROR_INVALID_HANDLE, "DeviceIoControl");
    ExpectError(r, CloseHandle(port), ERROR_INVALID_HANDLE, "CloseHandle");
}

// One thread waits in a read, another issues controls as fast as it can,
// while the main thread shuts the session down under them. The read in
// progress ends (cancelled, or timed out as the clock runs free); what
// either thread calls after that is refused.
void Win32CallsDuringShutdown(ChildReport& r)
{
    Boot(r, false);
    PlugCommandInstrument(r);
    HANDLE port = OpenPort(r);
    DWORD readError = 0, controlError = 0;
    BOOL firstRead = FALSE;
    DWORD firstGot = 0xDEAD;
    std::thread reader([&] {
        char buffer[16];
        // Not cancellable: it ends as its time limit runs out, the clock
        // running by itself through the shutdown, as a read that timed out.
        firstRead = ReadFile(port, buffer, sizeof buffer, &firstGot, nullptr);
        readError = ReadUntilFailure(port);
    });
    ExpectResult(r, tesmo_clock_wait_for_timed_waiters(1), TESMO_OK, "the read waits for the instrument");
    // Queued behind the read on the synchronous handle, then refused; a call
    // in flight when the shutdown begins is cancelled (aborted), as the read.
    std::thread controller([&] {
        DWORD modem = 0;
        while (GetCommModemStatus(port, &modem) || GetLastError() == ERROR_OPERATION_ABORTED) {}
        controlError = GetLastError();
    });
    ShutDown(r, "HandleLeak");
    reader.join();
    controller.join();
    r.Expect(firstRead && firstGot == 0, "the read waiting at shutdown did not end as a timed-out read");
    r.ExpectEq(readError, DWORD{ERROR_INVALID_HANDLE}, "the reads");
    r.ExpectEq(controlError, DWORD{ERROR_INVALID_HANDLE}, "the controls");
}

void Win32CallsTheEmulationDoesNotModel(ChildReport& r)
{
    Boot(r);
    HANDLE file = CreateFileA("measurements.csv", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    r.Expect(file == INVALID_HANDLE_VALUE, "CreateFileA of a file succeeded");
    r.ExpectEq(GetLastError(), DWORD{ERROR_PATH_NOT_FOUND}, "CreateFileA of a file: last error");
    r.Expect(CreateEventA(nullptr, TRUE, FALSE, "ready") == nullptr, "a named CreateEventA succeeded");
    r.ExpectEq(GetLastError(), DWORD{ERROR_NOT_SUPPORTED}, "a named CreateEventA: last error");
    ShutDown(r, "NotModelled NotModelled");
}

// Lengths far beyond the buffers they describe are refused before the
// buffers are touched.
void LengthsBeyondTheBufferedLimit(ChildReport& r)
{
    Boot(r);
    PlugCommandInstrument(r);
    HANDLE port = OpenPort(r);
    char small[16] = {};
    DWORD got = 0;
    ExpectError(r, DeviceIoControl(port, kSetBaudRate, small, 0x7FFFFFFF, nullptr, 0, &got, nullptr),
                ERROR_INVALID_PARAMETER, "an input length past the limit");
    ExpectError(r, DeviceIoControl(port, kGetBaudRate, nullptr, 0, small, TESMO_MAX_BUFFERED_LENGTH + 1, &got, nullptr),
                ERROR_INVALID_PARAMETER, "an output length past the limit");
    ExpectError(r, WriteFile(port, small, 0xFFFFFFFF, &got, nullptr), ERROR_INVALID_PARAMETER,
                "a write length past the limit");
    ExpectError(r, ReadFile(port, small, 0x80000000, &got, nullptr), ERROR_INVALID_PARAMETER,
                "a read length past the limit");
    ULONG baud = 9600;
    r.Expect(DeviceIoControl(port, kSetBaudRate, &baud, sizeof baud, nullptr, 0, &got, nullptr),
             "a control with its true length");
    r.Expect(CloseHandle(port), "CloseHandle");
    ShutDown(r);
}

struct MistakeCase {
    const char* label;
    void (*body)(ChildReport&);
};

void PrintTo(const MistakeCase& mistake, std::ostream* out) { *out << mistake.label; }

const MistakeCase kCases[] = {
    {"ExitAfterPlugWithoutShutdown", ExitAfterPlugWithoutShutdown},
    {"ExitWhileAnotherThreadReads", ExitWhileAnotherThreadReads},
    {"RequestsForARemovedDevice", RequestsForARemovedDevice},
    {"PnpRequestsForAnUnpluggedDeviceWithItsPortOpen", PnpRequestsForAnUnpluggedDeviceWithItsPortOpen},
    {"RebalanceOfADisabledDevice", RebalanceOfADisabledDevice},
    {"InstrumentParametersOutOfRange", InstrumentParametersOutOfRange},
    {"BootOptionsOutOfRange", BootOptionsOutOfRange},
    {"ControlArgumentsOutOfRange", ControlArgumentsOutOfRange},
    {"WaitsThatCannotEnd", WaitsThatCannotEnd},
    {"Win32CallsBeforeBoot", Win32CallsBeforeBoot},
    {"Win32CallsAfterShutdown", Win32CallsAfterShutdown},
    {"Win32CallsDuringShutdown", Win32CallsDuringShutdown},
    {"Win32CallsTheEmulationDoesNotModel", Win32CallsTheEmulationDoesNotModel},
    {"LengthsBeyondTheBufferedLimit", LengthsBeyondTheBufferedLimit},
};

class CallerMistakeTest : public ::testing::TestWithParam<MistakeCase> {};

TEST_P(CallerMistakeTest, IsAnsweredWithAnErrorAndTheProcessExitsCleanly)
{
    ChildOutcome outcome = RunInChild(GetParam().body, std::chrono::seconds(90));
    ASSERT_FALSE(outcome.hung) << "the child hung and was killed; it reported:\n" << outcome.report;
    ASSERT_EQ(outcome.signal, 0) << "the child died of signal " << outcome.signal << "; it reported:\n"
                                 << outcome.report;
    EXPECT_EQ(outcome.exitCode, 0) << outcome.report;
}

INSTANTIATE_TEST_SUITE_P(Cases, CallerMistakeTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo::capi_test
