// The emulated I/O manager's completion semantics, as a reference: which
// completion routines run, what they see, how pending propagates, how
// STATUS_MORE_PROCESSING_REQUIRED hands an IRP back, what a built request does
// when it completes, and how cancellation reaches a cancel routine.
#include <gtest/gtest.h>

#include <thread>

#include "SystemTest.h"
#include "TestDriver.h"

namespace tesmo::test {
namespace {

class IrpCompletionTest : public SystemTest {
protected:
    // The lower driver keeps the IRP pending; the test completes it later.
    void LowerHoldsIrps()
    {
        lower_.OnAny([this](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            held_ = irp;
            return STATUS_PENDING;
        });
    }
    void CompleteHeldFromOtherThread(NTSTATUS status)
    {
        std::thread bus([&] {
            emu::IrqlScope dispatch(DISPATCH_LEVEL);  // as a bus completes
            CompleteIrp(held_, status);
        });
        bus.join();
    }

    TestDriver lower_{sys(), u"Lower"};
    TestDriver upper_{sys(), u"Upper"};
    PDEVICE_OBJECT lowerDevice_ = lower_.CreateDevice();
    PDEVICE_OBJECT upperDevice_ = upper_.CreateDevice(lowerDevice_);
    PIRP held_ = nullptr;
};

struct InvokeCase {
    const char* label;
    NTSTATUS status;
    bool cancel;
    bool onSuccess, onError, onCancel;
    bool expectCalled;
};
void PrintTo(const InvokeCase& c, std::ostream* out) { *out << c.label; }

class CompletionRoutineInvocation : public IrpCompletionTest, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(CompletionRoutineInvocation, RunsOnlyWhenItsInvokeFlagMatches)
{
    const InvokeCase& c = GetParam();
    static bool called;
    called = false;
    upper_.OnAny([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP irp, PVOID) NTAPI -> NTSTATUS {
                called = true;
                if (irp->PendingReturned) IoMarkIrpPending(irp);
                return irp->IoStatus.Status;
            },
            nullptr, c.onSuccess, c.onError, c.onCancel);
        return IoCallDriver(lowerDevice_, irp);
    });
    lower_.OnAny([&](PDEVICE_OBJECT, PIRP irp) {
        if (c.cancel) irp->Cancel = TRUE;
        return CompleteIrp(irp, c.status);
    });
    TopLevelIrp request(upperDevice_, IRP_MJ_READ);
    EXPECT_EQ(request.Send(), c.status);
    EXPECT_EQ(called, c.expectCalled) << c.label;
    EXPECT_TRUE(request.completed());
    EXPECT_EQ(request.finalStatus(), c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, CompletionRoutineInvocation,
    ::testing::Values(InvokeCase{"success, on success", STATUS_SUCCESS, false, true, false, false, true},
                      InvokeCase{"success, on error only", STATUS_SUCCESS, false, false, true, false, false},
                      InvokeCase{"warning counts as success", STATUS_TIMEOUT, false, true, false, false, true},
                      InvokeCase{"error, on error", STATUS_UNSUCCESSFUL, false, false, true, false, true},
                      InvokeCase{"error, on success only", STATUS_UNSUCCESSFUL, false, true, false, false, false},
                      InvokeCase{"cancelled, on cancel only", STATUS_CANCELLED, true, false, false, true, true},
                      InvokeCase{"cancel flag without cancel bit", STATUS_CANCELLED, true, true, false, false, false}),
    [](const auto& info) {
        std::string name = info.param.label;
        for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

TEST_F(IrpCompletionTest, CompletionRoutineGetsItsOwnDeviceAndNullAtTheTop)
{
    static PDEVICE_OBJECT seen;
    upper_.OnAny([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT device, PIRP, PVOID) NTAPI -> NTSTATUS {
                seen = device;
                return STATUS_SUCCESS;
            },
            nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(lowerDevice_, irp);
    });
    lower_.OnAny([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    TopLevelIrp request(upperDevice_, IRP_MJ_READ);
    request.Send();
    EXPECT_EQ(seen, upperDevice_);
    EXPECT_EQ(request.routineDevice(), nullptr);
}

TEST_F(IrpCompletionTest, PendingPropagatesUpThroughASkippedLocation)
{
    LowerHoldsIrps();
    upper_.OnAny([&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lowerDevice_, irp);
    });
    TopLevelIrp request(upperDevice_, IRP_MJ_READ);
    EXPECT_EQ(request.Send(), STATUS_PENDING);
    EXPECT_FALSE(request.completed());
    CompleteHeldFromOtherThread(STATUS_SUCCESS);
    request.WaitCompleted();
    EXPECT_TRUE(request.pendingReturned());
}

TEST_F(IrpCompletionTest, PendingPropagatesThroughAnUpperLocationWithoutRoutine)
{
    LowerHoldsIrps();
    upper_.OnAny([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(lowerDevice_, irp);
    });
    TopLevelIrp request(upperDevice_, IRP_MJ_READ);
    EXPECT_EQ(request.Send(), STATUS_PENDING);
    CompleteHeldFromOtherThread(STATUS_UNSUCCESSFUL);
    request.WaitCompleted();
    EXPECT_TRUE(request.pendingReturned());
    EXPECT_EQ(request.finalStatus(), STATUS_UNSUCCESSFUL);
}

TEST_F(IrpCompletionTest, SynchronousCompletionLeavesPendingReturnedClear)
{
    lower_.OnAny([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS, 7); });
    upper_.OnAny([&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lowerDevice_, irp);
    });
    TopLevelIrp request(upperDevice_, IRP_MJ_READ);
    EXPECT_EQ(request.Send(), STATUS_SUCCESS);
    EXPECT_FALSE(request.pendingReturned());
    EXPECT_EQ(request.irp()->IoStatus.Information, 7u);
}

// The forward-and-wait pattern: the upper driver's routine stops completion,
// waits for it, and completes the IRP again itself.
TEST_F(IrpCompletionTest, MoreProcessingRequiredHandsTheIrpBackUntilCompletedAgain)
{
    LowerHoldsIrps();
    static KEVENT back;
    KeInitializeEvent(&back, NotificationEvent, FALSE);
    std::thread bus;
    upper_.OnAny([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
                KeSetEvent(&back, IO_NO_INCREMENT, FALSE);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            nullptr, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(lowerDevice_, irp);
        EXPECT_EQ(status, STATUS_PENDING);
        bus = std::thread([&] {
            emu::IrqlScope dispatch(DISPATCH_LEVEL);
            CompleteIrp(held_, STATUS_SUCCESS);
        });
        KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
        EXPECT_TRUE(irp->PendingReturned);
        return CompleteIrp(irp, STATUS_DEVICE_BUSY);
    });
    TopLevelIrp request(upperDevice_, IRP_MJ_READ);
    EXPECT_EQ(request.Send(), STATUS_DEVICE_BUSY);
    bus.join();
    EXPECT_TRUE(request.completed());
    EXPECT_EQ(request.finalStatus(), STATUS_DEVICE_BUSY);
    EXPECT_FALSE(request.pendingReturned());
}

TEST_F(IrpCompletionTest, BuiltRequestSignalsEventAndFillsStatusBlockWhenCompletedLater)
{
    LowerHoldsIrps();
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_NOT_SUPPORTED;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, lowerDevice_, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(IoCallDriver(lowerDevice_, irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    CompleteHeldFromOtherThread(STATUS_CANCELLED);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
}

TEST_F(IrpCompletionTest, BuiltBufferedRequestCopiesOutputBackAndSignalsOnSynchronousCompletion)
{
    lower_.OnAny([](PDEVICE_OBJECT, PIRP irp) {
        auto* buffer = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(buffer[0], 0x11);  // the input arrived in the system buffer
        buffer[0] = 0xA1;
        buffer[1] = 0xA2;
        return CompleteIrp(irp, STATUS_SUCCESS, 2);
    });
    unsigned char input[1] = {0x11};
    unsigned char output[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x1B0050, lowerDevice_, input, 1, output, 4, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(lowerDevice_, irp), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&event), 0);
    EXPECT_EQ(iosb.Information, 2u);
    EXPECT_EQ(output[0], 0xA1);
    EXPECT_EQ(output[1], 0xA2);
    EXPECT_EQ(output[2], 0xEE);  // never written
}

TEST_F(IrpCompletionTest, CancelCallsTheCancelRoutineUnderTheCancelLock)
{
    static bool lockHeldInRoutine;
    lower_.OnAny([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
            lockHeldInRoutine = KeGetCurrentIrql() == DISPATCH_LEVEL;
            EXPECT_EQ(irp->CancelRoutine, nullptr);
            IoReleaseCancelSpinLock(irp->CancelIrql);
            CompleteIrp(irp, STATUS_CANCELLED);
        });
        return STATUS_PENDING;
    });
    TopLevelIrp request(lowerDevice_, IRP_MJ_READ);
    EXPECT_EQ(request.Send(), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(request.irp()));
    EXPECT_TRUE(lockHeldInRoutine);
    EXPECT_TRUE(request.completed());
    EXPECT_EQ(request.finalStatus(), STATUS_CANCELLED);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrpCompletionTest, CancelWithoutRoutineOnlySetsTheCancelFlag)
{
    LowerHoldsIrps();
    TopLevelIrp request(lowerDevice_, IRP_MJ_READ);
    request.Send();
    EXPECT_FALSE(IoCancelIrp(request.irp()));
    EXPECT_TRUE(request.irp()->Cancel);
    EXPECT_FALSE(request.completed());
    CompleteIrp(held_, STATUS_CANCELLED);
    EXPECT_EQ(request.finalStatus(), STATUS_CANCELLED);
}

TEST_F(IrpCompletionTest, UnregisteredMajorIsRefusedByTheIoManagerDefault)
{
    PDRIVER_OBJECT driver =
        sys().CreateDriver(u"Plain", [](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI -> NTSTATUS { return STATUS_SUCCESS; });
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    TopLevelIrp request(device, IRP_MJ_FLUSH_BUFFERS);
    EXPECT_EQ(request.Send(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(request.finalStatus(), STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(device);
    sys().UnloadDriver(driver);
}

}  // namespace
}  // namespace tesmo::test
