// Debug print, the hex dump, the event log's memory layout, the name tables
// and the traced hold of the remove lock.
#include <gtest/gtest.h>

#include <cstring>

#include "DebugPrint.h"
#include "DriverTest.h"
#include "EventLog.h"
#include "NameTables.h"
#include "Tesmo.h"
#include "TraceRecorder.h"

namespace tesmo::test {
namespace {

// The routines run on a record of the test's own, not on a device's.
class DiagnosticsTest : public DriverTest {
protected:
    void TearDown() override
    {
        if (extension_.LogEntries) ExFreePoolWithTag(extension_.LogEntries, TESMO_POOL_TAG);
    }

    decltype(&DebugPrint) print_ = DRIVER_SYMBOL(driver(), DebugPrint);
    decltype(&DumpBuffer) dump_ = DRIVER_SYMBOL(driver(), DumpBuffer);
    decltype(&InitCircularLog) initLog_ = DRIVER_SYMBOL(driver(), InitCircularLog);
    ULONG* debugLevel_ = DRIVER_SYMBOL(driver(), DebugLevel);
    ULONG* debugMask_ = DRIVER_SYMBOL(driver(), DebugMask);
    DEVICE_EXTENSION extension_{};
};

TEST_F(DiagnosticsTest, MessageOf1023CharactersPassesAndLongerIsDroppedWhole)
{
    TraceRecorder trace(sys());
    std::string fits(1023, 'x');
    std::string tooLong(1024, 'y');
    print_(4, DBG_PNP, "%s", fits.c_str());
    print_(4, DBG_PNP, "%s", tooLong.c_str());
    print_(4, DBG_PNP, nullptr);
    EXPECT_EQ(trace.Texts(), std::vector<std::string>{fits});
}

struct FilterCase {
    const char* label;
    ULONG debugLevel;
    ULONG debugMask;
    ULONG level;
    ULONG component;
    bool passes;
};
void PrintTo(const FilterCase& c, std::ostream* out) { *out << c.label; }

class DebugPrintFilter : public DiagnosticsTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(DebugPrintFilter, PassesOnlyWhatTheSettingsAdmit)
{
    const FilterCase& c = GetParam();
    *debugLevel_ = c.debugLevel;
    *debugMask_ = c.debugMask;
    TraceRecorder trace(sys());
    print_(c.level, c.component, "message\n");
    EXPECT_EQ(trace.Lines().size(), c.passes ? 1u : 0u) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Settings, DebugPrintFilter,
    ::testing::Values(FilterCase{"level6_default", 5, 0xFFFFFFFF, 6, DBG_IOCOUNT, false},
                      FilterCase{"level6_raised", 6, 0xFFFFFFFF, 6, DBG_IOCOUNT, true},
                      FilterCase{"level6_raised_masked", 6, DBG_PNP, 6, DBG_IOCOUNT, false},
                      FilterCase{"level5_default", 5, 0xFFFFFFFF, 5, DBG_QUEUE, true},
                      FilterCase{"level5_masked", 5, ~ULONG(DBG_QUEUE), 5, DBG_QUEUE, false},
                      FilterCase{"level4_ignores_mask", 5, 0, 4, DBG_PNP, true},
                      FilterCase{"level2_ignores_level", 0, 0, 2, DBG_PNP, true}),
    [](const auto& info) { return std::string(info.param.label); });

// With no sink nothing can see a message, so it must not even be formatted
// (the formatter refuses %n: formatting here would be reported).
TEST_F(DiagnosticsTest, NothingIsFormattedWithoutASink)
{
    int untouched = 7;
    print_(2, DBG_PNP, "%n", &untouched);
    unsigned char bytes[4] = {1, 2, 3, 4};
    dump_(bytes, 4, DUMP_OUT);
    EXPECT_EQ(untouched, 7);
}

struct DumpCase {
    const char* label;
    ULONG length;
    ULONG direction;
    std::vector<std::string> pieces;
};
void PrintTo(const DumpCase& c, std::ostream* out) { *out << c.label; }

class DumpBufferPieces : public DiagnosticsTest, public ::testing::WithParamInterface<DumpCase> {};

TEST_P(DumpBufferPieces, PrefixBytesAndLineEnds)
{
    const DumpCase& c = GetParam();
    std::vector<unsigned char> bytes(c.length);
    for (ULONG i = 0; i < c.length; ++i) bytes[i] = static_cast<unsigned char>(0xA0 + i);
    TraceRecorder trace(sys());
    dump_(bytes.data(), c.length, c.direction);
    EXPECT_EQ(trace.Texts(), c.pieces) << c.label;
    for (const auto& line : trace.Lines()) {
        EXPECT_EQ(line.level, 5u);
        EXPECT_EQ(line.component, DBG_DATA);
    }
}

std::vector<std::string> Line(const char* prefix, int from, int count, bool end)
{
    std::vector<std::string> pieces;
    if (prefix) pieces.push_back(prefix);
    char text[8];
    for (int i = 0; i < count; ++i) {
        std::snprintf(text, sizeof text, "%.2X ", 0xA0 + from + i);
        pieces.push_back(text);
    }
    if (end) pieces.push_back("\n");
    return pieces;
}

std::vector<std::string> Join(std::vector<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, DumpBufferPieces,
    ::testing::Values(DumpCase{"sixteen_out", 16, DUMP_OUT, Join({Line("OUT\t", 0, 16, true), {"\n"}})},
                      DumpCase{"seventeen_out", 17, DUMP_OUT,
                               Join({Line("OUT\t", 0, 16, true), Line("OUT\t", 16, 1, false), {"\n"}})},
                      DumpCase{"empty", 0, DUMP_OUT, {"\n"}},
                      DumpCase{"two_in", 2, DUMP_IN, Join({Line("IN\t", 0, 2, false), {"\n"}})},
                      DumpCase{"one_read", 1, DUMP_READ, Join({Line("RD\t", 0, 1, false), {"\n"}})},
                      DumpCase{"unknown_direction", 2, 3, Join({Line(nullptr, 0, 2, false), {"\n"}})}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(DiagnosticsTest, InitCircularLogWithTwoPages)
{
    ASSERT_EQ(initLog_(&extension_, 2), STATUS_SUCCESS);
    EXPECT_EQ(extension_.LogIndex, 0);
    EXPECT_EQ(extension_.LogSize, 8192u);
    EXPECT_EQ(extension_.LogMask, 255u);
    auto* bytes = reinterpret_cast<unsigned char*>(extension_.LogEntries);
    EXPECT_TRUE(std::all_of(bytes, bytes + 8192, [](unsigned char b) { return b == 0; }));
    auto held = sys().pool().OutstandingWithTag(TESMO_POOL_TAG);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].type, NonPagedPool);
    EXPECT_EQ(emu::TagText(TESMO_POOL_TAG), "Kvrl");
}

TEST_F(DiagnosticsTest, InitCircularLogRefusesZeroPagesAndSurvivesNoMemory)
{
    EXPECT_EQ(initLog_(&extension_, 0), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sys().pool().OutstandingWithTag(TESMO_POOL_TAG).empty());
    sys().faults().FailNth(emu::FaultSite::Pool, 1);
    EXPECT_EQ(initLog_(&extension_, 2), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(extension_.LogEntries, nullptr);
}

TEST_F(DiagnosticsTest, EntriesFillSlotsDownwardAndWrap)
{
    ASSERT_EQ(initLog_(&extension_, 2), STATUS_SUCCESS);
    auto* raw = reinterpret_cast<unsigned char*>(extension_.LogEntries);
    LogEvent(&extension_, "AddD", LOG_SIGNED(STATUS_DELETE_PENDING), 0x1122334455667788ull, 3);
    const unsigned char* slot255 = raw + 255 * 32;
    EXPECT_EQ(std::memcmp(slot255, "AddD", 4), 0);
    EXPECT_EQ(std::memcmp(slot255 + 4, "\0\0\0\0", 4), 0);  // reserved stays zero
    const unsigned char value1[8] = {0x56, 0x00, 0x00, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF};  // sign-extended
    const unsigned char value2[8] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(std::memcmp(slot255 + 8, value1, 8), 0);
    EXPECT_EQ(std::memcmp(slot255 + 16, value2, 8), 0);
    EXPECT_EQ(slot255[24], 3);
    for (int i = 2; i <= 256; ++i) LogEvent(&extension_, "Rd> ", static_cast<ULONG64>(i), 0, 0);
    EXPECT_EQ(extension_.LogEntries[0].Value1, 256u);  // the 256th entry
    EXPECT_EQ(extension_.LogEntries[254].Value1, 2u);
    LogEvent(&extension_, "Wr> ", 257, 0, 0);
    EXPECT_EQ(std::memcmp(raw + 255 * 32, "Wr> ", 4), 0);  // the 257th overwrites the oldest
    EXPECT_EQ(static_cast<ULONG>(extension_.LogIndex) & extension_.LogMask, 255u);  // the newest
}

TEST_F(DiagnosticsTest, LogEventWithoutStorageChangesNothing)
{
    extension_.LogIndex = 17;
    LogEvent(&extension_, "Pnp>", 1, 2, 3);
    EXPECT_EQ(extension_.LogIndex, 17);
}

TEST_F(DiagnosticsTest, NameTablesAnswerUnknownOutsideTheirRange)
{
    auto queue = DRIVER_SYMBOL(driver(), QueueStateString);
    auto pnp = DRIVER_SYMBOL(driver(), PnpStateString);
    auto pnpMinor = DRIVER_SYMBOL(driver(), PnpMinorFunctionString);
    auto powerMinor = DRIVER_SYMBOL(driver(), PowerMinorFunctionString);
    EXPECT_STREQ(queue(1), "AllowRequests");
    EXPECT_STREQ(queue(3), "Unknown");
    EXPECT_STREQ(queue(-1), "Unknown");
    EXPECT_STREQ(pnp(5), "SurpriseRemoved");
    EXPECT_STREQ(pnp(7), "Unknown");
    EXPECT_STREQ(pnp(0xFFFFFFFF), "Unknown");
    EXPECT_STREQ(pnpMinor(0x0D), "IRP_MN_FILTER_RESOURCE_REQUIREMENTS");
    EXPECT_STREQ(pnpMinor(0x0E), "Unknown");
    EXPECT_STREQ(pnpMinor(0x0F), "IRP_MN_READ_CONFIG");
    EXPECT_STREQ(pnpMinor(0x18), "Unknown");
    EXPECT_STREQ(pnpMinor(0x117), "IRP_MN_SURPRISE_REMOVAL");
    EXPECT_STREQ(powerMinor(3), "IRP_MN_QUERY_POWER");
    EXPECT_STREQ(powerMinor(4), "Unknown");
}

// A hold's two lines share one component, and a refused hold counts nothing.
struct HoldCase {
    const char* label;
    bool lockReleasedForRemoval;
    NTSTATUS status;
    std::vector<std::string> texts;
};
void PrintTo(const HoldCase& c, std::ostream* out) { *out << c.label; }

class RemoveHold : public DiagnosticsTest, public ::testing::WithParamInterface<HoldCase> {};

TEST_P(RemoveHold, CountsOnlyATakenHoldAndTracesBothEndsAlike)
{
    IoInitializeRemoveLockEx(&extension_.RemoveLock, TESMO_POOL_TAG, 0, 0, sizeof(IO_REMOVE_LOCK));
    if (GetParam().lockReleasedForRemoval) {
        ASSERT_EQ(IoAcquireRemoveLock(&extension_.RemoveLock, TESMO_LOCK_TAG), STATUS_SUCCESS);
        IoReleaseRemoveLockAndWait(&extension_.RemoveLock, TESMO_LOCK_TAG);
    }
    TraceRecorder trace(sys());
    EXPECT_EQ(DRIVER_SYMBOL(driver(), AcquireRemoveHold)(&extension_, "X.c:Y-"), GetParam().status);
    if (NT_SUCCESS(GetParam().status)) DRIVER_SYMBOL(driver(), ReleaseRemoveHold)(&extension_, "X.c:Y-", " for Z");
    EXPECT_EQ(extension_.RemoveLockCount, 0);
    EXPECT_EQ(trace.Texts(), GetParam().texts);
    for (const auto& line : trace.Lines()) EXPECT_EQ(line.component, DBG_POWER) << line.text;
}

INSTANTIATE_TEST_SUITE_P(
    Locks, RemoveHold,
    ::testing::Values(HoldCase{"taken", false, STATUS_SUCCESS,
                               {"X.c:Y-acquiring Remove lock (1)\n", "X.c:Y-releasing Remove lock (0) for Z\n"}},
                      HoldCase{"refused", true, STATUS_DELETE_PENDING, {"X.c:Y-acquiring Remove lock (1)\n"}}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tesmo::test
