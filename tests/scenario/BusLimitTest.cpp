// Reading through COM3 under frame timing with the clock advancing by itself:
// the bus carries at most its packets per frame, a source paced at exactly
// that limit keeps up to the frame, and the application thread, counted as
// runnable between its calls, sees the clock stand still when it returns.
#include <gtest/gtest.h>

#include <vector>

#include "DeviceStack.h"
#include "DriverTest.h"
#include "instrument/StreamingSource.h"
#include "tesmo/windows.h"
#include "usb/Descriptors.h"

namespace tesmo::test {
namespace {

using emu::usb::Speed;

struct LimitCase {
    const char* label;
    Speed speed;
    std::uint64_t bytesPerSecond;  // 0: as fast as asked
    emu::Time completesAt;         // of a 64 KiB read started at 0
};
void PrintTo(const LimitCase& c, std::ostream* out) { *out << c.label; }

class BusLimitTest : public DriverTest, public ::testing::WithParamInterface<LimitCase> {};

// 64 KiB is 1024 full-speed packets (53 frames of 19 and one more) or 128
// high-speed ones (9 microframes of 13 and one more). Paced at the limit, the
// last packet leaves the source within the last of those frames.
TEST_P(BusLimitTest, A64KiBReadTakesTheFramesItsPacketsNeed)
{
    const LimitCase& c = GetParam();
    emu::usb::StreamingSource source({.bytesPerSecond = c.bytesPerSecond});
    emu::usb::DeviceConfig config{emu::usb::descriptors::StandardInstrument(c.speed)};
    config.frameTiming = true;
    DeviceStack port(sys(), driver(), source, config);
    ASSERT_EQ(port.Plug(), STATUS_SUCCESS);
    HANDLE handle = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts{0, 0, 10'000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(handle, &timeouts));
    ASSERT_EQ(sys().clock().Now(), 0);

    sys().clock().SetAutoAdvance(true);
    source.Start();
    std::vector<std::uint8_t> buffer(64 * 1024);
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr));
    EXPECT_EQ(sys().clock().Now(), c.completesAt);
    sys().clock().SetAutoAdvance(false);
    ASSERT_EQ(got, buffer.size());
    EXPECT_EQ(source.pattern().FirstMismatch(0, buffer), std::nullopt);
    CloseHandle(handle);
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, BusLimitTest,
    ::testing::Values(LimitCase{"full_speed_on_demand", Speed::Full, 0, 54 * emu::kMillisecond},
                      LimitCase{"full_speed_paced_at_the_limit", Speed::Full, 1'216'000, 54 * emu::kMillisecond},
                      LimitCase{"high_speed_on_demand", Speed::High, 0, 10 * 125 * emu::kMicrosecond},
                      LimitCase{"high_speed_paced_at_the_limit", Speed::High, 53'248'000, 10 * 125 * emu::kMicrosecond}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo::test
