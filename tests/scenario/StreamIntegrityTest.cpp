// A counter stream read through the Win32 API while the port is put to sleep,
// woken and rebalanced again and again. Reads may fail while the port is
// held; whatever they deliver must be the next bytes of the stream: nothing
// the instrument sent is lost, repeated or reordered by the driver.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>

#include "DeviceStack.h"
#include "DriverTest.h"
#include "instrument/StreamingSource.h"
#include "tesmo/windows.h"

namespace tesmo::test {
namespace {

// Reads the stream in pieces of random length and checks every byte against
// the counter pattern.
class StreamReader {
public:
    StreamReader(HANDLE port, const emu::usb::StreamPattern& pattern) : port_(port), pattern_(pattern) {}

    // One read; false when it failed (nothing may have been delivered then).
    bool ReadOnce(std::mt19937& random)
    {
        std::uint8_t buffer[300];
        DWORD length = std::uniform_int_distribution<DWORD>(1, sizeof buffer)(random);
        DWORD got = 0;
        if (!ReadFile(port_, buffer, length, &got, nullptr)) {
            ++failedReads;
            if (got != 0) ++failuresWithBytes;
            return false;
        }
        for (DWORD i = 0; i < got; ++i) {
            // One lost byte shifts everything after it: the first is the one to see.
            if (buffer[i] != pattern_.At(position) && mismatches++ == 0) firstMismatch = position;
            ++position;
        }
        return true;
    }

    std::uint64_t position = 0;
    unsigned failedReads = 0;
    unsigned failuresWithBytes = 0;
    unsigned mismatches = 0;
    std::uint64_t firstMismatch = 0;

private:
    HANDLE port_;
    const emu::usb::StreamPattern& pattern_;
};

class StreamIntegrityTest : public DriverTest {
protected:
    void SetUp() override
    {
        // Waits for the instrument (and the bounded waits of sleep and stop)
        // pass by themselves: the clock jumps whenever everyone is blocked.
        sys().clock().SetAutoAdvance(true);
    }
};

TEST_F(StreamIntegrityTest, EveryByteArrivesOnceAndInOrderAcrossSleepsAndRebalances)
{
    emu::usb::StreamingSource source(emu::usb::StreamingSourceOptions{.running = true});
    DeviceStack port(sys(), driver(), source);
    ASSERT_EQ(port.Plug(), STATUS_SUCCESS);
    HANDLE handle = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);

    StreamReader reader(handle, source.pattern());
    std::atomic<bool> cyclesDone{false};
    std::thread application([&] {
        std::mt19937 random(20261208);
        // Keep reading through the cycles, then until a good stretch came
        // through after the last one.
        unsigned goodAfter = 0;
        while (!cyclesDone || goodAfter < 50) {
            bool ok = reader.ReadOnce(random);
            if (cyclesDone && ok) ++goodAfter;
        }
    });
    for (int cycle = 0; cycle < 8; ++cycle) {
        EXPECT_EQ(port.pnp().SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS) << "cycle " << cycle;
        EXPECT_EQ(port.pnp().SystemWake(), STATUS_SUCCESS) << "cycle " << cycle;
        EXPECT_EQ(port.pnp().Rebalance(port.node()), STATUS_SUCCESS) << "cycle " << cycle;
    }
    cyclesDone = true;
    {
        emu::OutsideWait joining;  // the reader's timed waits must still run out
        application.join();
    }
    CloseHandle(handle);

    EXPECT_EQ(reader.mismatches, 0u) << "bytes lost, repeated or reordered from stream position "
                                     << reader.firstMismatch;
    EXPECT_EQ(reader.failuresWithBytes, 0u) << "a failed read reported bytes";
    EXPECT_GT(reader.position, 0u);
    // What the source produced and the reader has not seen yet can only be on
    // its way: in the bus's queue or waiting in the driver.
    EXPECT_LE(reader.position, source.BytesProduced());
    RecordProperty("bytes_read", std::to_string(reader.position));
    RecordProperty("failed_reads", std::to_string(reader.failedReads));
}

}  // namespace
}  // namespace tesmo::test
