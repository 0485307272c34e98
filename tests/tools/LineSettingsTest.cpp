// How long characters take on a serial line (what --pace waits), for frames
// of each kind.
#include <gtest/gtest.h>

#include "link/LineSettings.h"

namespace tesmo::sim {
namespace {

TEST(LineSettings, ACharacterTakesItsStartDataParityAndStopBits)
{
    const struct {
        const char* settings;
        std::size_t bytes;
        long long nanoseconds;
    } rows[] = {
        {"9600 8N1", 960, 1'000'000'000},  // ten bits each: 960 a second
        {"9600 8N1", 1, 1'041'666},
        {"300 7E2", 3, 110'000'000},  // eleven bits each
        {"19200 8O1", 0, 0},
        {"1200 5N1.5", 2, 12'500'000},  // seven and a half bits each
        {"115200 8N1", 11520, 1'000'000'000},
    };
    for (const auto& row : rows) {
        auto settings = ParseLineSettings(row.settings);
        ASSERT_TRUE(settings) << row.settings;
        EXPECT_EQ(LineTime(*settings, row.bytes).count(), row.nanoseconds) << row.settings << ", " << row.bytes;
    }
}

}  // namespace
}  // namespace tesmo::sim
