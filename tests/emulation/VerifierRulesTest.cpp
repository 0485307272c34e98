// Each verifier rule caught on a driver that breaks it on purpose. A rule that
// is never seen to fire protects nothing.
#include <gtest/gtest.h>

#include <thread>

#include "SystemTest.h"
#include "TestDriver.h"

namespace tesmo::test {
namespace {

constexpr ULONG kTag = emu::TagFromText("Test");

class VerifierRulesTest : public SystemTest {
protected:
    // Expects exactly one violation of `rule` and returns its message.
    std::string ExpectOne(emu::Rule rule)
    {
        auto found = TakeViolations(rule);
        EXPECT_EQ(found.size(), 1u) << "rule " << emu::RuleName(rule);
        return found.empty() ? "" : found[0].message;
    }

    TestDriver faulty_{sys(), u"Faulty"};
    PDEVICE_OBJECT device_ = faulty_.CreateDevice();
};

// A dispatch routine that breaks one rule. It sets `kept` to a request it
// leaves uncompleted, which the test completes afterwards.
struct DispatchMisuse {
    const char* label;
    NTSTATUS (*dispatch)(PIRP irp, PIRP* kept);
    emu::Rule rule;
};

const DispatchMisuse kDispatchMisuses[] = {
    {"CompletedTwice",
     [](PIRP irp, PIRP*) {
         CompleteIrp(irp, STATUS_SUCCESS);
         return CompleteIrp(irp, STATUS_SUCCESS);
     },
     emu::Rule::IrpCompletedTwice},
    {"PendingReturnedWithoutMark",
     [](PIRP irp, PIRP* kept) {
         *kept = irp;
         return NTSTATUS(STATUS_PENDING);
     },
     emu::Rule::PendingWithoutMark},
    {"MarkedPendingButReturnedAFinalStatus",
     [](PIRP irp, PIRP*) {
         IoMarkIrpPending(irp);
         return CompleteIrp(irp, STATUS_SUCCESS);
     },
     emu::Rule::MarkWithoutPending},
    {"ReturnsAnotherStatusThanItCompletedWith",
     [](PIRP irp, PIRP*) {
         CompleteIrp(irp, STATUS_UNSUCCESSFUL);
         return NTSTATUS(STATUS_SUCCESS);
     },
     emu::Rule::ReturnedStatusMismatch},
    {"ReturnsWithoutCompletingOrPending",
     [](PIRP irp, PIRP* kept) {
         *kept = irp;
         return NTSTATUS(STATUS_SUCCESS);
     },
     emu::Rule::ReturnedWithoutCompletion},
    {"CompletedWhileACancelRoutineIsSet",
     [](PIRP irp, PIRP*) {
         IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) NTAPI {});
         return CompleteIrp(irp, STATUS_SUCCESS);
     },
     emu::Rule::CompletedWithCancelRoutine},
};

class DispatchMisuseTest : public VerifierRulesTest, public ::testing::WithParamInterface<DispatchMisuse> {};

TEST_P(DispatchMisuseTest, IsCaughtAsItsRule)
{
    PIRP kept = nullptr;
    faulty_.OnAny([&](PDEVICE_OBJECT, PIRP irp) { return GetParam().dispatch(irp, &kept); });
    TopLevelIrp request(device_, IRP_MJ_READ);
    request.Send();
    ExpectOne(GetParam().rule);
    if (kept) CompleteIrp(kept, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Verifier, DispatchMisuseTest, ::testing::ValuesIn(kDispatchMisuses),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(VerifierRulesTest, CompletionRoutineThatDropsPendingReturned)
{
    TestDriver lower(sys(), u"Lower");
    PDEVICE_OBJECT lowerDevice = lower.CreateDevice();
    PIRP held = nullptr;
    lower.OnAny([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    TestDriver upper(sys(), u"Upper");
    PDEVICE_OBJECT upperDevice = upper.CreateDevice(lowerDevice);
    upper.OnAny([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP irp, PVOID) NTAPI { return irp->IoStatus.Status; }, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(lowerDevice, irp);
    });
    TopLevelIrp request(upperDevice, IRP_MJ_READ);
    EXPECT_EQ(request.Send(), STATUS_PENDING);
    std::thread([&] { CompleteIrp(held, STATUS_SUCCESS); }).join();
    ExpectOne(emu::Rule::PendingNotPropagated);
    upper.DeleteDevices();
}

TEST_F(VerifierRulesTest, WaitWithATimeoutAtDispatchLevel)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER timeout{};
    timeout.QuadPart = -emu::kMillisecond;
    {
        emu::IrqlScope dispatch(DISPATCH_LEVEL);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        LARGE_INTEGER poll{};
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll);  // a poll is allowed
    }
    ExpectOne(emu::Rule::WaitAtDispatchLevel);
}

TEST_F(VerifierRulesTest, PoolDoubleFreeWrongTagAndForeignPointer)
{
    void* block = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
    ExFreePoolWithTag(block, kTag);
    ExFreePoolWithTag(block, kTag);
    ExpectOne(emu::Rule::PoolDoubleFree);

    void* other = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
    ExFreePoolWithTag(other, emu::TagFromText("Oops"));
    EXPECT_NE(ExpectOne(emu::Rule::PoolWrongTag).find("'Test'"), std::string::npos);

    int local = 0;
    ExFreePoolWithTag(&local, kTag);
    ExpectOne(emu::Rule::PoolBadPointer);
}

TEST_F(VerifierRulesTest, PagedPoolAndPageableCodeAboveApcLevel)
{
    emu::IrqlScope dispatch(DISPATCH_LEVEL);
    void* block = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    EmuAssertPageableCode("FaultyRoutine");
    ExpectOne(emu::Rule::PageableCodeAtDispatch);
    ExpectOne(emu::Rule::PagedPoolAtDispatch);
    {
        emu::IrqlScope passive(PASSIVE_LEVEL);
        ExFreePoolWithTag(block, kTag);
    }
}

TEST_F(VerifierRulesTest, IrpTouchedAfterTheIoManagerReleasedIt)
{
    faulty_.OnAny([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device_, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    IoCallDriver(device_, irp);
    IoCancelIrp(irp);  // too late: completion released it
    ExpectOne(emu::Rule::IrpUseAfterFree);
}

// Leaks are reported when the system shuts down, naming the tag.
TEST(VerifierShutdownTest, PoolBlockAndIrpLeftAtShutdown)
{
    emu::System system(TestSystemOptions());
    ExAllocatePoolWithTag(NonPagedPool, 64, kTag);
    IoAllocateIrp(1, FALSE);
    system.Shutdown();
    auto leaks = system.verifier().Take(emu::Rule::PoolLeak);
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].message.find("tag 'Test'"), std::string::npos);
    EXPECT_EQ(system.verifier().Take(emu::Rule::IrpLeak).size(), 1u);
    ExpectNoViolations(system.verifier());
}

// Without a handler the verifier stops the process as a kernel would, but
// only for a driver's violation: an application's mistake is printed and
// recorded.
TEST(DefaultViolationHandlerTest, StopsForADriverButNotForAnApplication)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(emu::Verifier().Report(emu::Rule::PoolLeak, nullptr, "a block left behind"),
                 "rule PoolLeak: a block left behind");
    emu::Verifier verifier;
    verifier.ReportApplicationMistake(emu::Rule::HandleLeak, "a handle left open");
    auto recorded = verifier.Violations();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_TRUE(recorded[0].byApplication);
    EXPECT_EQ(emu::Describe(recorded[0]).rfind("verifier: rule HandleLeak (the application's mistake): a handle", 0),
              0u);
}

}  // namespace
}  // namespace tesmo::test
