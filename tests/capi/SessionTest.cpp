// Sessions of the control API: booting again in the same process, what the
// calls answer outside a session, the report of what an application left
// behind, the trace sink and the driver's filter, and the event-log copy.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CapiSession.h"

namespace tesmo::capi_test {
namespace {

using SessionTest = CapiTest;

std::vector<tesmo_event_log_entry> CopyLog(std::int32_t device, std::int32_t* logIndex)
{
    std::uint32_t size = 0;
    EXPECT_EQ(R(tesmo_event_log(device, nullptr, 0, &size, logIndex)), R(TESMO_E_BUFFER_TOO_SMALL));
    std::vector<tesmo_event_log_entry> entries(size / sizeof(tesmo_event_log_entry));
    EXPECT_EQ(R(tesmo_event_log(device, entries.data(), size, &size, logIndex)), kOk);
    return entries;
}

std::string TagOf(const tesmo_event_log_entry& entry) { return std::string(entry.tag, 4); }

TEST(SessionLifecycle, CallsOutsideASessionSayNotBooted)
{
    int32_t booted = 1;
    ASSERT_EQ(R(tesmo_is_booted(&booted)), kOk);
    EXPECT_EQ(booted, 0);
    std::int64_t now = 0;
    EXPECT_EQ(R(tesmo_clock_now(&now)), R(TESMO_E_NOT_BOOTED));
    EXPECT_EQ(R(tesmo_shutdown(nullptr)), R(TESMO_E_NOT_BOOTED));
    EXPECT_EQ(R(tesmo_unplug(1)), R(TESMO_E_NOT_BOOTED));
    EXPECT_EQ(R(tesmo_set_debug_level(6)), R(TESMO_E_NOT_BOOTED));
}

TEST(SessionLifecycle, ADriverImageThatDoesNotLoadLeavesNoSession)
{
    tesmo_boot_options options;
    tesmo_boot_options_init(&options);
    options.driver_image = "/nonexistent/tesmo_driver.so";
    EXPECT_EQ(R(tesmo_boot(&options)), R(TESMO_E_DRIVER_LOAD));
    int32_t booted = 1;
    tesmo_is_booted(&booted);
    EXPECT_EQ(booted, 0);
}

// Each boot loads a fresh image: its globals start at their load values and
// the port installer starts again at COM3.
TEST_F(SessionTest, BootingAgainStartsAfresh)
{
    ASSERT_EQ(R(tesmo_boot(nullptr)), R(TESMO_E_ALREADY_BOOTED));
    PlugCommandInstrument();
    ASSERT_EQ(R(tesmo_set_debug_level(6)), kOk);
    ASSERT_EQ(R(tesmo_shutdown(nullptr)), kOk);
    ASSERT_EQ(R(tesmo_boot(nullptr)), kOk);

    std::uint32_t level = 0;
    ASSERT_EQ(R(tesmo_get_debug_level(&level)), kOk);
    EXPECT_EQ(level, 5u);
    std::int32_t device = PlugCommandInstrument();
    EXPECT_EQ(device, 1);
    HANDLE port = OpenPort("\\\\.\\COM3");
    ASSERT_NO_FATAL_FAILURE(Send(port, "*IDN?\n"));
    EXPECT_EQ(ReadLine(port), "TESMO,Model 7,SN 000123,FW 1.5\n");
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(SessionTest, HandlesLeftOpenAreClosedAndReportedAtShutdown)
{
    // The timeline shows the finding too, and is complete once the session is.
    std::string timeline = ::testing::TempDir() + "handle-leak-timeline.json";
    ASSERT_EQ(R(tesmo_timeline(timeline.c_str())), kOk);
    EXPECT_EQ(R(tesmo_timeline("/nonexistent/folder/timeline.json")), R(TESMO_E_INVALID_ARGUMENT));
    std::int32_t device = PlugCommandInstrument();
    OpenPort();
    std::vector<std::string> rules = ShutDownAndTakeViolations();
    EXPECT_EQ(rules, std::vector<std::string>{"HandleLeak"});
    std::ifstream file(timeline);
    std::string events((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(events.find("\"name\": \"verifier: HandleLeak\", \"cat\": \"verifier\", \"s\": \"g\""),
              std::string::npos);
    EXPECT_NE(events.find("\"name\": \"IoCallDriver PNP START_DEVICE\""), std::string::npos);
    EXPECT_TRUE(events.ends_with("\n]}\n")) << "the JSON is closed";
    std::remove(timeline.c_str());
    // The report stays readable after the session.
    EXPECT_NE(ViolationTexts().find("1 handle(s) of the application still open"), std::string::npos)
        << ViolationTexts();
    char text[16];
    std::uint32_t length = 0;
    EXPECT_EQ(R(tesmo_violation_text(0, text, sizeof text, &length)), R(TESMO_E_BUFFER_TOO_SMALL));
    EXPECT_GT(length, sizeof text);
    EXPECT_EQ(R(tesmo_violation_text(1, text, sizeof text, &length)), R(TESMO_E_OUT_OF_RANGE));
    EXPECT_EQ(R(tesmo_device_state(device, &length)), R(TESMO_E_NOT_BOOTED));
}

TEST_F(SessionTest, TraceShowsLevelsUpToTheDriversFilter)
{
    PlugCommandInstrument();
    HANDLE port = OpenPort();
    ASSERT_NO_FATAL_FAILURE(Send(port, "*IDN?\n"));
    EXPECT_TRUE(trace().Contains("Pnp.c: HandleStartDevice ENTRY\n"));
    EXPECT_TRUE(trace().Contains("OUT\t"));  // the hex dump of the write, level 5
    EXPECT_FALSE(trace().Contains("Usb.c:SynchCallUSBD ENTRY"));

    ASSERT_EQ(R(tesmo_set_debug_level(6)), kOk);
    ASSERT_NO_FATAL_FAILURE(Send(port, "*IDN?\n"));
    EXPECT_TRUE(trace().Contains("Usb.c:SynchCallUSBD ENTRY"));
    for (const TraceRecord& line : trace().Lines()) {
        EXPECT_GE(line.level, 2u) << line.text;
        EXPECT_LE(line.level, 6u) << line.text;
    }
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(SessionTest, EventLogCopyShowsTheNewestEntryAtTheIndex)
{
    std::int32_t device = PlugCommandInstrument();
    HANDLE port = OpenPort();
    ASSERT_NO_FATAL_FAILURE(Send(port, "*IDN?\n"));
    std::int32_t logIndex = 1;
    std::vector<tesmo_event_log_entry> entries = CopyLog(device, &logIndex);
    ASSERT_EQ(entries.size(), 256u);
    ASSERT_LT(logIndex, 0);
    const tesmo_event_log_entry& newest = entries[static_cast<std::uint32_t>(logIndex) & 255];
    EXPECT_EQ(TagOf(newest), "Wr> ");
    EXPECT_EQ(newest.value2, 6u);                 // the length written
    EXPECT_EQ(newest.value3 >> 24, 1u);           // QueueState AllowRequests
    EXPECT_EQ((newest.value3 >> 16) & 0xFF, 2u);  // PnpState Working
    // The first entry ever written is AddDevice's, in the last slot.
    EXPECT_EQ(TagOf(entries[255]), "AddD");
    EXPECT_EQ(entries[255].reserved, 0u);
    EXPECT_TRUE(CloseHandle(port));

    std::int32_t status = 0;
    ASSERT_EQ(R(tesmo_disable(device, &status)), kOk);
    std::uint32_t size = 0;
    EXPECT_EQ(R(tesmo_event_log(device, nullptr, 0, &size, nullptr)), R(TESMO_E_DEVICE_GONE));
}

TEST_F(SessionTest, DisableIsRefusedWhileThePortIsOpen)
{
    std::int32_t device = PlugCommandInstrument();
    HANDLE port = OpenPort();
    std::int32_t status = 0;
    EXPECT_EQ(R(tesmo_disable(device, &status)), R(TESMO_E_REFUSED));
    EXPECT_EQ(static_cast<std::uint32_t>(status), 0x80000011u);  // STATUS_DEVICE_BUSY
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(R(tesmo_disable(device, &status)), kOk);
    EXPECT_EQ(R(tesmo_enable(device, &status)), kOk);
    port = OpenPort();
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(SessionTest, InvalidInstrumentDescriptionsAreRefused)
{
    tesmo_instrument instrument;
    EXPECT_EQ(R(tesmo_instrument_init(&instrument, 7)), R(TESMO_E_INVALID_ARGUMENT));
    ASSERT_EQ(R(tesmo_instrument_init(&instrument, TESMO_INSTRUMENT_STREAM)), kOk);
    std::int32_t device = -1;
    instrument.packet_size = 128;
    EXPECT_EQ(R(tesmo_plug(&instrument, &device, nullptr)), R(TESMO_E_INVALID_ARGUMENT));
    instrument.packet_size = 512;
    instrument.layout = 42;
    EXPECT_EQ(R(tesmo_plug(&instrument, &device, nullptr)), R(TESMO_E_INVALID_ARGUMENT));
    EXPECT_EQ(device, -1);
}

}  // namespace
}  // namespace tesmo::capi_test
