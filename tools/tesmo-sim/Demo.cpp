#include "Demo.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "EventLogDecoder.h"
#include "LogFile.h"
#include "TracePrinter.h"
#include "link/InstrumentSpec.h"
#include "ErrorText.h"
#include "text/Printable.h"
#include "tesmo/control.h"
#include "tesmo/windows.h"

namespace tesmo::sim {

namespace {

// A step of the session, stamped with the emulated time.
void Step(const char* format, ...)
{
    std::int64_t now = 0;
    tesmo_clock_now(&now);
    std::printf("[%8.3f s] ", static_cast<double>(now) / 1e7);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

bool Check(tesmo_result result, const char* what)
{
    if (result == TESMO_OK) return true;
    std::printf("!! %s failed: %s\n", what, ResultText(result).c_str());
    return false;
}

bool Win32Check(BOOL ok, const char* what)
{
    if (ok) return true;
    std::printf("!! %s failed: %s\n", what, Win32ErrorText(GetLastError()).c_str());
    return false;
}

const char* ParityName(BYTE parity)
{
    static const char* const names[] = {"none", "odd", "even", "mark", "space"};
    return parity < 5 ? names[parity] : "?";
}

bool Command(HANDLE port, const std::string& command)
{
    DWORD written = 0;
    if (!Win32Check(WriteFile(port, command.data(), static_cast<DWORD>(command.size()), &written, nullptr),
                    "WriteFile")) {
        return false;
    }
    Step("WriteFile \"%s\": %u bytes written", Printable(command).c_str(), written);
    std::string answer;
    while (answer.empty() || answer.back() != '\n') {
        char chunk[256];
        DWORD got = 0;
        if (!Win32Check(ReadFile(port, chunk, sizeof chunk, &got, nullptr), "ReadFile")) return false;
        if (got == 0) break;
        answer.append(chunk, got);
    }
    Step("ReadFile: \"%s\" (%zu bytes)", Printable(answer).c_str(), answer.size());
    return true;
}

bool TalkToThePort()
{
    Step("CreateFileA \\\\.\\COM3");
    HANDLE port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) return Win32Check(FALSE, "CreateFileA");
    bool ok = true;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ok = ok && Win32Check(GetCommState(port, &dcb), "GetCommState");
    if (ok) {
        static const char* const stopBits[] = {"1", "1.5", "2"};
        Step("GetCommState: %u baud, %u data bits, parity %s, %s stop bit(s)", dcb.BaudRate, dcb.ByteSize,
             ParityName(dcb.Parity), dcb.StopBits < 3 ? stopBits[dcb.StopBits] : "?");
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        ok = Win32Check(SetCommState(port, &dcb), "SetCommState");
    }
    if (ok) {
        Step("SetCommState: 9600 baud, 8 data bits, no parity, 1 stop bit");
        COMMTIMEOUTS timeouts{0, 0, 1000, 0, 0};
        ok = Win32Check(SetCommTimeouts(port, &timeouts), "SetCommTimeouts");
    }
    if (ok) Step("SetCommTimeouts: a read waits at most 1000 ms for the instrument");
    ok = ok && Command(port, "*IDN?\n") && Command(port, "MEAS?\n");
    if (ok) {
        DWORD errors = 0;
        COMSTAT status{};
        ok = Win32Check(ClearCommError(port, &errors, &status), "ClearCommError");
        if (ok) Step("ClearCommError: errors 0x%x, %u bytes waiting", errors, status.cbInQue);
    }
    Step("CloseHandle");
    return Win32Check(CloseHandle(port), "CloseHandle") && ok;
}

void ShowEventLog(std::int32_t device, const std::string& savePath)
{
    std::uint32_t size = 0;
    std::int32_t logIndex = 0;
    tesmo_event_log(device, nullptr, 0, &size, &logIndex);
    logdump::LogCopy copy;
    copy.storage.resize(size);
    if (!Check(tesmo_event_log(device, copy.storage.data(), size, &size, &copy.logIndex), "tesmo_event_log")) return;
    Step("event log of device %d: %u bytes, LogIndex %d; oldest entry first:", device, size, copy.logIndex);
    std::fputs(logdump::FormatLog(copy.storage, copy.logIndex).c_str(), stdout);
    if (!savePath.empty()) {
        if (logdump::SaveLog(savePath, copy)) Step("event log saved to %s", savePath.c_str());
        else std::printf("!! cannot write %s\n", savePath.c_str());
    }
}

std::uint32_t ReportViolations(std::uint32_t count)
{
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t length = 0;
        tesmo_violation_text(i, nullptr, 0, &length);
        std::vector<char> text(length + 1);
        tesmo_violation_text(i, text.data(), length + 1, &length);
        std::printf("%s\n", text.data());
    }
    return count;
}

}  // namespace

int RunDemo(const DemoOptions& options)
{
    TracePrinter printer(options.traceLevel);
    tesmo_set_trace_sink(&TracePrinter::Callback, &printer);
    tesmo_boot_options boot;
    tesmo_boot_options_init(&boot);
    boot.verifier_mode = TESMO_VERIFIER_RECORD;
    std::printf("== booting the emulated system and loading the driver (trace levels up to %u)\n", options.traceLevel);
    if (!Check(tesmo_boot(&boot), "tesmo_boot")) return 1;
    if (!options.pcapPath.empty()) {
        if (!Check(tesmo_usb_capture(options.pcapPath.c_str()), "tesmo_usb_capture")) {
            tesmo_shutdown(nullptr);
            return 1;
        }
        Step("the bus's URBs go to %s", options.pcapPath.c_str());
    }
    if (!options.timelinePath.empty()) {
        if (!Check(tesmo_timeline(options.timelinePath.c_str()), "tesmo_timeline")) {
            tesmo_shutdown(nullptr);
            return 1;
        }
        Step("the timeline goes to %s", options.timelinePath.c_str());
    }
    if (options.traceLevel >= 6) tesmo_set_debug_level(6);

    bool ok = true;
    tesmo_instrument instrument;
    tesmo_instrument_init(&instrument, TESMO_INSTRUMENT_COMMAND);
    instrument.latency = 2 * kTicksPerMillisecond;  // 2 ms from command to answer
    Step("plugging in the command/answer instrument (full speed, 64-byte packets, answers after 2 ms)");
    std::int32_t device = 0, status = 0;
    ok = Check(tesmo_plug(&instrument, &device, &status), "tesmo_plug");
    if (ok) {
        char name[32] = "";
        std::uint32_t length = 0;
        tesmo_port_name(device, name, sizeof name, &length);
        Step("device %d started as %s", device, name);
        std::printf("== the application's session on the port\n");
        ok = TalkToThePort();
        std::printf("== what the driver recorded\n");
        ShowEventLog(device, options.saveLogPath);
        Step("unplugging device %d", device);
        ok = Check(tesmo_unplug(device), "tesmo_unplug") && Check(tesmo_wait_removed(device), "removal") && ok;
    } else {
        std::printf("!! the start failed: %s\n", NtStatusText(status).c_str());
    }

    Step("shutting down");
    std::uint32_t violations = 0;
    tesmo_shutdown(&violations);
    tesmo_set_trace_sink(nullptr, nullptr);
    ReportViolations(violations);
    std::printf("== done: %u verifier violation(s)\n", violations);
    return ok && violations == 0 ? 0 : 1;
}

}  // namespace tesmo::sim
