// The entry prologue that the export table drives: a call above the routine's
// IRQL limit is an IrqlMisuse violation naming the routine, a routine without
// a limit takes any IRQL, and every call moves the routine's count.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "SystemTest.h"
#include "emu_ntddk.h"
#include "emu/ExportCoverage.h"

namespace tesmo::test {
namespace {

struct EntryCase {
    const char* routine;
    KIRQL irql;
    std::function<void()> call;
    const char* violation;  // null: none expected
};
void PrintTo(const EntryCase& c, std::ostream* out) { *out << c.routine << " at IRQL " << int(c.irql); }

class ExportEntryTest : public SystemTest, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(ExportEntryTest, CountsTheCallAndReportsOnlyACallAboveTheLimit)
{
    const EntryCase& c = GetParam();
    const std::uint64_t before = emu::ExportCalls(c.routine);
    {
        emu::IrqlScope scope(c.irql);
        c.call();
    }
    EXPECT_EQ(emu::ExportCalls(c.routine), before + 1);
    auto violations = TakeViolations(emu::Rule::IrqlMisuse);
    if (!c.violation) {
        EXPECT_TRUE(violations.empty());
        return;
    }
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].message, c.violation);
}

KEVENT g_event;
UNICODE_STRING g_name{0, 0, nullptr};

INSTANTIATE_TEST_SUITE_P(
    Cases, ExportEntryTest,
    ::testing::Values(
        EntryCase{"RtlEqualUnicodeString", APC_LEVEL, [] { RtlEqualUnicodeString(&g_name, &g_name, TRUE); },
                  "RtlEqualUnicodeString called at IRQL 1, above PASSIVE_LEVEL"},
        EntryCase{"KeReadStateEvent", HIGH_LEVEL,
                  [] {
                      KeInitializeEvent(&g_event, NotificationEvent, FALSE);
                      KeReadStateEvent(&g_event);
                  },
                  "KeReadStateEvent called at IRQL 15, above DISPATCH_LEVEL"},
        EntryCase{"KeReadStateEvent", DISPATCH_LEVEL,
                  [] {
                      KeInitializeEvent(&g_event, NotificationEvent, FALSE);
                      KeReadStateEvent(&g_event);
                  },
                  nullptr},
        EntryCase{"KeInitializeEvent", HIGH_LEVEL, [] { KeInitializeEvent(&g_event, NotificationEvent, FALSE); },
                  nullptr}));

TEST(ExportCoverageTest, ANameNotInTheTableIsRefused)
{
    EXPECT_THROW(emu::ExportCalls("KeQueryActiveProcessorCount"), std::invalid_argument);
}

}  // namespace
}  // namespace tesmo::test
