// Control calls that wait on the driver while other threads of the
// application use the system, as a bridge does: a reader thread keeps a
// timed read pending on the port, a pacer thread moves the clock (the
// emulated time that read waits for) and asks for the device's state, and
// the test's thread sleeps, wakes or rebalances the system meanwhile. The
// driver's sleep and stop wait for USB to go quiet, which needs the pending
// read to end, which needs the pacer: no control call may hold what the
// pacer needs while it waits. After each call the port must still answer.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CapiSession.h"

namespace tesmo::capi_test {
namespace {

constexpr char kIdentity[] = "TESMO,Model 7,SN 000123,FW 1.5\n";
constexpr DWORD kReadSliceMs = 100;  // the bridges' read slice
constexpr std::int64_t kTicksPerMs = 10'000;
constexpr auto kDeadline = std::chrono::seconds(20);  // a failure bound, never waited out when all is well

// The application's reader: timed reads one after the other, their bytes
// collected. A read that fails (the system asleep) is tried again once the
// test's next control call has returned.
class Reader {
public:
    explicit Reader(HANDLE port) : port_(port), thread_([this] { Run(); }) {}
    ~Reader() { Stop(); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    void ControlCallReturned()
    {
        std::lock_guard lock(mutex_);
        ++controlCalls_;
        changed_.notify_all();
    }

    // True when `text` has come within the deadline; what came is taken.
    bool Await(const std::string& text)
    {
        std::unique_lock lock(mutex_);
        bool came = changed_.wait_for(lock, kDeadline, [&] { return received_.find(text) != std::string::npos; });
        received_.clear();
        return came;
    }

    // The pacer must still move the clock: the last read ends at its limit.
    void Stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
    }

private:
    void Run()
    {
        for (;;) {
            std::uint64_t callsBefore = 0;
            {
                std::lock_guard lock(mutex_);
                if (stopping_) break;
                callsBefore = controlCalls_;
            }
            char buffer[256];
            DWORD got = 0;
            OVERLAPPED request{};
            request.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            bool ok = ReadFile(port_, buffer, sizeof buffer, nullptr, &request) || GetLastError() == ERROR_IO_PENDING;
            ok = ok && GetOverlappedResult(port_, &request, &got, TRUE);
            CloseHandle(request.hEvent);
            std::unique_lock lock(mutex_);
            received_.append(buffer, ok ? got : 0);
            changed_.notify_all();
            if (!ok) changed_.wait(lock, [&] { return stopping_ || controlCalls_ != callsBefore; });
        }
        tesmo_thread_detach();
    }

    HANDLE port_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string received_;
    std::uint64_t controlCalls_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

// Moves the manual clock on a millisecond at a time, as fast as it can (as
// the bridges' pacer did with the wall clock, only faster), and asks for the
// device's state between, until stopped.
class Pacer {
public:
    explicit Pacer(std::int32_t device)
        : thread_([this, device] {
              while (!stopping_) {
                  tesmo_clock_advance(kTicksPerMs);
                  std::this_thread::yield();
                  std::uint32_t state = 0;
                  if (tesmo_device_state(device, &state) == TESMO_OK) ++stateQueries_;
              }
              tesmo_thread_detach();
          })
    {}
    ~Pacer() { Stop(); }
    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;

    void Stop()
    {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::uint64_t stateQueries() const { return stateQueries_; }

private:
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> stateQueries_{0};
    std::thread thread_;
};

enum class Call { Sleep3, Sleep1, Wake, Rebalance };

tesmo_result Make(Call call, std::int32_t device, std::int32_t* status)
{
    switch (call) {
    case Call::Sleep3: return tesmo_system_sleep(3, status);
    case Call::Sleep1: return tesmo_system_sleep(1, status);
    case Call::Wake: return tesmo_system_wake(status);
    case Call::Rebalance: return tesmo_rebalance(device, status);
    }
    return TESMO_E_INVALID_ARGUMENT;
}

struct Case {
    const char* name;
    std::vector<Call> calls;  // the port is asked after the last one
};

const Case kCases[] = {
    {"SleepS3ThenWake", {Call::Sleep3, Call::Wake}},
    {"SleepS1ThenWake", {Call::Sleep1, Call::Wake}},
    {"Rebalance", {Call::Rebalance}},
    {"RebalanceTwiceThenSleepAndWake", {Call::Rebalance, Call::Rebalance, Call::Sleep3, Call::Wake}},
};

class ConcurrentControlTest : public ManualClockTest, public ::testing::WithParamInterface<Case> {
protected:
    std::uint32_t WatchdogMs() const override { return 10'000; }
};

TEST_P(ConcurrentControlTest, ControlCallsReturnWhileAReadWaitsAndThePortAnswersAfter)
{
    std::int32_t device = PlugCommandInstrument();
    HANDLE port = OpenPort("\\\\.\\COM3", true);
    ASSERT_NO_FATAL_FAILURE(Configure(port, COMMTIMEOUTS{0, 0, kReadSliceMs, 0, 0}));
    {
        Reader reader(port);
        Pacer pacer(device);
        ASSERT_NO_FATAL_FAILURE(Send(port, "*IDN?\n"));
        ASSERT_TRUE(reader.Await(kIdentity)) << "no answer before the first control call";
        for (Call call : GetParam().calls) {
            std::int32_t status = 0;
            EXPECT_EQ(R(Make(call, device, &status)), kOk) << std::hex << status;
            reader.ControlCallReturned();
        }
        ASSERT_NO_FATAL_FAILURE(Send(port, "*IDN?\n"));
        EXPECT_TRUE(reader.Await(kIdentity)) << "no answer after the control calls";
        EXPECT_GT(pacer.stateQueries(), 0u);
        reader.Stop();
        pacer.Stop();
    }
    EXPECT_TRUE(CloseHandle(port));
}

INSTANTIATE_TEST_SUITE_P(Calls, ConcurrentControlTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tesmo::capi_test
