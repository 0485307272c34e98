// The fixture of the tests that drive the emulated system through the C ABI
// only, exactly as an application does: tesmo/control.h to boot, plug and
// inspect, tesmo/windows.h for the COM port. Each test gets a fresh session
// (violations recorded, not fatal; the emulated clock advancing by itself
// whenever every emulated thread waits, as an application expects) and fails
// on every violation the session recorded. ManualClockTest sessions move time
// only when the test does; a test may choose another clock or watchdog.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tesmo/control.h"
#include "tesmo/windows.h"

namespace tesmo::capi_test {

// Printed with the result's name in assertion messages.
struct Result {
    tesmo_result value;
    bool operator==(const Result&) const = default;
};
inline Result R(tesmo_result value) { return Result{value}; }
void PrintTo(const Result& result, std::ostream* out);
inline const Result kOk{TESMO_OK};

struct TraceRecord {
    std::uint32_t level;
    std::uint32_t component;
    std::string text;
};

// Keeps every trace line of the session (the sink runs on emulated threads).
class TraceLines {
public:
    static void Callback(void* context, std::uint32_t level, std::uint32_t component, const char* text);
    std::vector<TraceRecord> Lines() const;
    bool Contains(const std::string& fragment) const;

private:
    mutable std::mutex mutex_;
    std::vector<TraceRecord> lines_;
};

class CapiTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Shuts the session down and returns the rule names of its violations;
    // the test takes responsibility for them.
    std::vector<std::string> ShutDownAndTakeViolations();

    // Plugs an instrument and asserts that it started.
    std::int32_t Plug(const tesmo_instrument& instrument);
    std::int32_t PlugCommandInstrument(const char* identity = nullptr);

    static HANDLE OpenPort(const char* path = "\\\\.\\COM3", bool overlapped = false);
    // GetCommState, 9600 8N1, SetCommState, and the time-outs given.
    static void Configure(HANDLE port, const COMMTIMEOUTS& timeouts);
    // Writes `command` whole.
    static void Send(HANDLE port, const std::string& command);
    // Reads until the answer's line end (or a read returns nothing).
    static std::string ReadLine(HANDLE port);

    TraceLines& trace() { return trace_; }
    virtual std::int32_t Clock() const { return TESMO_CLOCK_SELF_ADVANCING; }
    virtual std::uint32_t WatchdogMs() const { return 30000; }
    // The driver image to boot; null: the library's default.
    virtual const char* DriverImage() const { return nullptr; }

private:
    TraceLines trace_;
    bool shutDown_ = false;
};

class ManualClockTest : public CapiTest {
protected:
    std::int32_t Clock() const override { return TESMO_CLOCK_MANUAL; }
};

// Every violation's text, for failure messages.
std::string ViolationTexts();

}  // namespace tesmo::capi_test
