// What plugging and unplugging costs a process that runs for long: an
// application plugs an instrument, uses its port, pulls it out with the port
// still open, closes the port and waits for the removal, a thousand times in
// one session. A device that has left must leave nothing behind that grows
// with their number, and the shutdown must give back what the session took.
// The cycles run in a child process, whose heap nothing else touches.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "ChildProcess.h"
#include "tesmo/control.h"
#include "tesmo/windows.h"

#if defined(__SANITIZE_ADDRESS__)
#define TESMO_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESMO_TEST_ASAN 1
#endif
#endif
#ifdef TESMO_TEST_ASAN
#if __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#else
// The sanitizer runtime's own count; GCC's runtime exports it without
// shipping the header that declares it.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif
#endif

namespace tesmo::capi_test {
namespace {

// Bytes the process has allocated and not freed. Under AddressSanitizer the
// C library's counters do not see its allocator (and its quarantine would
// distort the resident size), so it is asked instead.
std::int64_t HeapInUse()
{
#ifdef TESMO_TEST_ASAN
    return static_cast<std::int64_t>(__sanitizer_get_current_allocated_bytes());
#else
    struct mallinfo2 info = mallinfo2();
    return static_cast<std::int64_t>(info.uordblks + info.hblkhd);
#endif
}

// The emulation's quarantines of freed pool blocks, IRPs and device objects
// fill up within the first few hundred cycles; growth is measured after them.
// What may grow is the session's record of each device that left (under 100
// bytes); the two device objects of a cycle, kept, are more than the limit.
// What stays after the shutdown is what the library keeps for the process
// (a few kilobytes).
constexpr int kWarmUpCycles = 500;
constexpr int kMeasuredCycles = 500;
constexpr std::int64_t kGrowthPerCycleLimit = 256;
constexpr std::int64_t kLeftAfterShutdownLimit = 256 << 10;

std::string Text(tesmo_result result) { return tesmo_result_text(result); }

// Plug, *IDN? through the port, unplug with the port open, close, wait for
// the removal. False (with the failure reported) when a step failed.
bool PlugUseAndUnplug(ChildReport& r)
{
    tesmo_instrument instrument;
    tesmo_instrument_init(&instrument, TESMO_INSTRUMENT_COMMAND);
    std::int32_t device = 0;
    r.ExpectEq(Text(tesmo_plug(&instrument, &device, nullptr)), Text(TESMO_OK), "tesmo_plug");
    char path[32] = "\\\\.\\";
    r.ExpectEq(Text(tesmo_port_name(device, path + 4, sizeof path - 4, nullptr)), Text(TESMO_OK), "tesmo_port_name");
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    r.Expect(port != INVALID_HANDLE_VALUE, std::string("CreateFileA of ") + path);
    DWORD written = 0;
    r.Expect(WriteFile(port, "*IDN?\n", 6, &written, nullptr) && written == 6, "WriteFile");
    std::string answer;
    while (answer.empty() || answer.back() != '\n') {
        char chunk[64];
        DWORD got = 0;
        if (!ReadFile(port, chunk, sizeof chunk, &got, nullptr) || got == 0) break;
        answer.append(chunk, got);
    }
    r.Expect(!answer.empty() && answer.back() == '\n', "the answer to *IDN?: \"" + answer + "\"");
    r.ExpectEq(Text(tesmo_unplug(device)), Text(TESMO_OK), "tesmo_unplug");
    r.Expect(CloseHandle(port), "CloseHandle");
    r.ExpectEq(Text(tesmo_wait_removed(device)), Text(TESMO_OK), "tesmo_wait_removed");
    return !r.failed();
}

void PlugCycles(ChildReport& r)
{
    const std::int64_t beforeBoot = HeapInUse();
    r.ExpectEq(Text(tesmo_boot(nullptr)), Text(TESMO_OK), "tesmo_boot");
    std::int64_t afterWarmUp = 0;
    for (int cycle = 0; cycle < kWarmUpCycles + kMeasuredCycles; ++cycle) {
        if (cycle == kWarmUpCycles) afterWarmUp = HeapInUse();
        if (!PlugUseAndUnplug(r)) {
            r.Expect(false, "cycle " + std::to_string(cycle) + " failed");
            return;
        }
    }
    const std::int64_t perCycle = (HeapInUse() - afterWarmUp) / kMeasuredCycles;
    r.Expect(perCycle < kGrowthPerCycleLimit,
             "the heap grew by " + std::to_string(perCycle) + " bytes per cycle after the warm-up");
    std::uint32_t violations = 0;
    r.ExpectEq(Text(tesmo_shutdown(&violations)), Text(TESMO_OK), "tesmo_shutdown");
    r.ExpectEq(violations, 0u, "violations");
    const std::int64_t left = HeapInUse() - beforeBoot;
    r.Expect(left < kLeftAfterShutdownLimit,
             "the shutdown left " + std::to_string(left) + " bytes more on the heap than before the boot");
}

TEST(PlugCycleMemory, GrowsNotWithTheCyclesAndTheShutdownGivesItBack)
{
    ChildOutcome outcome = RunInChild(PlugCycles, std::chrono::seconds(100));
    ASSERT_FALSE(outcome.hung) << "the child hung and was killed; it reported:\n" << outcome.report;
    ASSERT_EQ(outcome.signal, 0) << "the child died of signal " << outcome.signal << "; it reported:\n"
                                 << outcome.report;
    EXPECT_EQ(outcome.exitCode, 0) << outcome.report;
}

}  // namespace
}  // namespace tesmo::capi_test
