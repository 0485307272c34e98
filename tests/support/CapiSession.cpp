#include "CapiSession.h"

namespace tesmo::capi_test {

void PrintTo(const Result& result, std::ostream* out) { *out << tesmo_result_text(result.value); }

void TraceLines::Callback(void* context, std::uint32_t level, std::uint32_t component, const char* text)
{
    auto* self = static_cast<TraceLines*>(context);
    std::lock_guard lock(self->mutex_);
    self->lines_.push_back({level, component, text});
}

std::vector<TraceRecord> TraceLines::Lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

bool TraceLines::Contains(const std::string& fragment) const
{
    std::lock_guard lock(mutex_);
    for (const TraceRecord& line : lines_) {
        if (line.text.find(fragment) != std::string::npos) return true;
    }
    return false;
}

std::string ViolationTexts()
{
    std::uint32_t count = 0;
    tesmo_violation_count(&count);
    std::string all;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t length = 0;
        tesmo_violation_text(i, nullptr, 0, &length);
        std::string text(length + 1, '\0');
        tesmo_violation_text(i, text.data(), length + 1, &length);
        text.resize(length);
        all += text + "\n";
    }
    return all;
}

void CapiTest::SetUp()
{
    tesmo_boot_options options;
    ASSERT_EQ(R(tesmo_boot_options_init(&options)), kOk);
    options.auto_advance_clock = Clock();
    options.verifier_mode = TESMO_VERIFIER_RECORD_QUIET;
    options.watchdog_ms = WatchdogMs();
    options.driver_image = DriverImage();
    ASSERT_EQ(R(tesmo_set_trace_sink(&TraceLines::Callback, &trace_)), kOk);
    ASSERT_EQ(R(tesmo_boot(&options)), kOk);
}

std::vector<std::string> CapiTest::ShutDownAndTakeViolations()
{
    shutDown_ = true;
    std::uint32_t count = 0;
    EXPECT_EQ(R(tesmo_shutdown(&count)), kOk);
    tesmo_set_trace_sink(nullptr, nullptr);
    std::vector<std::string> rules;
    for (std::uint32_t i = 0; i < count; ++i) {
        char rule[64];
        std::uint32_t length = 0;
        EXPECT_EQ(R(tesmo_violation_rule(i, rule, sizeof rule, &length)), kOk);
        rules.emplace_back(rule, length);
    }
    return rules;
}

void CapiTest::TearDown()
{
    if (shutDown_) return;
    std::uint32_t count = 0;
    ASSERT_EQ(R(tesmo_shutdown(&count)), kOk);
    tesmo_set_trace_sink(nullptr, nullptr);
    EXPECT_EQ(count, 0u) << ViolationTexts();
}

std::int32_t CapiTest::Plug(const tesmo_instrument& instrument)
{
    std::int32_t device = 0, status = -1;
    EXPECT_EQ(R(tesmo_plug(&instrument, &device, &status)), kOk) << std::hex << status;
    return device;
}

std::int32_t CapiTest::PlugCommandInstrument(const char* identity)
{
    tesmo_instrument instrument;
    EXPECT_EQ(R(tesmo_instrument_init(&instrument, TESMO_INSTRUMENT_COMMAND)), kOk);
    instrument.identity = identity;
    return Plug(instrument);
}

HANDLE CapiTest::OpenPort(const char* path, bool overlapped)
{
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    return port;
}

void CapiTest::Configure(HANDLE port, const COMMTIMEOUTS& timeouts)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb)) << GetLastError();
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    COMMTIMEOUTS copy = timeouts;
    ASSERT_TRUE(SetCommTimeouts(port, &copy)) << GetLastError();
}

void CapiTest::Send(HANDLE port, const std::string& command)
{
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, command.data(), static_cast<DWORD>(command.size()), &written, nullptr))
        << GetLastError();
    ASSERT_EQ(written, command.size());
}

std::string CapiTest::ReadLine(HANDLE port)
{
    std::string answer;
    while (answer.empty() || answer.back() != '\n') {
        char chunk[256];
        DWORD got = 0;
        if (!ReadFile(port, chunk, sizeof chunk, &got, nullptr)) {
            ADD_FAILURE() << "ReadFile failed with error " << GetLastError() << " after \"" << answer << "\"";
            break;
        }
        if (got == 0) break;
        answer.append(chunk, got);
    }
    return answer;
}

}  // namespace tesmo::capi_test
