// The queue gate on the timeline: a device-control request sent while the
// system sleeps is held in the driver's queue until it is taken out at wake
// or cancelled first; the timeline shows the hold, how it ended, and the
// count of held requests going to one and back to zero.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "CapiSession.h"

namespace tesmo::capi_test {
namespace {

constexpr DWORD kGetBaudRate = 0x001B0050;  // IOCTL_SERIAL_GET_BAUD_RATE, METHOD_BUFFERED

struct HoldCase {
    const char* label;
    bool cancelFirst;  // CancelIo before the wake
    const char* left;  // how the timeline says the request left the queue
    DWORD error;
};
void PrintTo(const HoldCase& c, std::ostream* out) { *out << c.label; }

class QueueGateTimeline : public CapiTest, public ::testing::WithParamInterface<HoldCase> {};

TEST_P(QueueGateTimeline, ShowsTheHoldUntilTheRequestLeavesTheQueue)
{
    const HoldCase& c = GetParam();
    std::string path = ::testing::TempDir() + "queue-gate-" + c.label + ".json";
    ASSERT_EQ(R(tesmo_timeline(path.c_str())), kOk);
    PlugCommandInstrument();
    HANDLE port = OpenPort("\\\\.\\COM3", true);
    ASSERT_EQ(R(tesmo_system_sleep(3, nullptr)), kOk);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ULONG baud = 0;
    DWORD bytes = 0;
    ASSERT_FALSE(DeviceIoControl(port, kGetBaudRate, nullptr, 0, &baud, sizeof baud, &bytes, &overlapped));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING)) << "held while the system sleeps";
    EXPECT_TRUE(!c.cancelFirst || CancelIo(port));
    ASSERT_EQ(R(tesmo_system_wake(nullptr)), kOk);
    BOOL ok = GetOverlappedResult(port, &overlapped, &bytes, TRUE);
    EXPECT_EQ(ok ? DWORD(ERROR_SUCCESS) : GetLastError(), c.error);
    CloseHandle(overlapped.hEvent);
    CloseHandle(port);
    EXPECT_TRUE(ShutDownAndTakeViolations().empty());

    std::ifstream file(path);
    std::string events((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    const std::string slice = "\"name\": \"held DEVICE_CONTROL\", \"cat\": \"queue gate\"";
    auto held = events.find("{\"ph\": \"b\", " + slice);
    auto left = events.find("{\"ph\": \"e\", " + slice, held);
    ASSERT_NE(left, std::string::npos) << events;
    EXPECT_LT(events.find("\"args\": {\"queue 1\": 1}", held), left);
    EXPECT_EQ(events.find("\"left\": \"", left), events.find(std::string("\"left\": \"") + c.left + "\"", left));
    EXPECT_NE(events.find("\"args\": {\"queue 1\": 0}", left), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Endings, QueueGateTimeline,
                         ::testing::Values(HoldCase{"TakenOutAtWake", false, "taken out", ERROR_SUCCESS},
                                           HoldCase{"CancelledFirst", true, "cancelled", ERROR_OPERATION_ABORTED}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo::capi_test
