// The I/O manager's user-request path as a reference: what reaches a driver
// when an application opens, reads, writes, controls, cancels and closes, and
// what the application gets back.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <future>
#include <optional>
#include <thread>

#include "FakeDevice.h"
#include "SystemTest.h"
#include "emu/ApplicationCalls.h"
#include "emu/Io.h"

namespace tesmo::test {
namespace {

using emu::io::Handle;
using emu::io::StatusBlock;

constexpr UCHAR kSentinel = 0xEE;

class UserRequestPathTest : public SystemTest {
protected:
    NTSTATUS Open(Handle* handle, bool synchronous = true, std::u16string name = u"\\??\\COM3",
                  std::uint32_t access = emu::io::kGenericRead | emu::io::kGenericWrite)
    {
        emu::io::OpenParameters parameters;
        parameters.name = std::move(name);
        parameters.desiredAccess = access;
        parameters.options = synchronous ? emu::io::kSynchronousIo : 0;
        StatusBlock block{};
        return emu::io::OpenFile(parameters, handle, &block);
    }
    Handle OpenOrFail(bool synchronous = true)
    {
        Handle handle = 0;
        EXPECT_EQ(Open(&handle, synchronous), STATUS_SUCCESS);
        return handle;
    }

    std::optional<FakeDevice> fake_{std::in_place, sys(),
                                    FakeDeviceOptions{u"\\Device\\Tesmo1", u"\\DosDevices\\COM3"}};
};

TEST_F(UserRequestPathTest, OpenAndCloseSendCreateCleanupCloseWithOneFileObject)
{
    Handle handle = OpenOrFail();
    PFILE_OBJECT file = emu::io::FileObjectOf(handle);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->DeviceObject, fake_->device());
    EXPECT_EQ(emu::io::Close(handle), STATUS_SUCCESS);

    EXPECT_EQ(fake_->Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    for (const RecordedRequest& request : fake_->Requests()) {
        EXPECT_EQ(request.fileObject, file);
        EXPECT_EQ(request.originalFileObject, file);
        EXPECT_EQ(request.requestorMode, UserMode);
    }
    EXPECT_EQ(emu::io::Close(handle), STATUS_INVALID_HANDLE) << "a closed handle is gone";
}

TEST_F(UserRequestPathTest, CreateGoesToTheTopOfTheStack)
{
    TestDriver filter(sys(), u"Filter");
    filter.CreateDevice(fake_->device());
    std::vector<UCHAR> seenByFilter;
    filter.OnAny([&](PDEVICE_OBJECT, PIRP irp) {
        seenByFilter.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        return CompleteIrp(irp, STATUS_SUCCESS);
    });
    Handle handle = OpenOrFail();
    emu::io::Close(handle);
    EXPECT_EQ(seenByFilter, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_TRUE(fake_->Requests().empty());
}

TEST_F(UserRequestPathTest, ExclusiveDeviceRefusesASecondOpenWithoutAskingTheDriver)
{
    Handle first = OpenOrFail();
    Handle second = 0;
    EXPECT_EQ(Open(&second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(fake_->Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE}));

    emu::io::Close(first);
    EXPECT_EQ(Open(&second), STATUS_SUCCESS) << "the port is free again once the handle is closed";
    emu::io::Close(second);
}

TEST_F(UserRequestPathTest, NonExclusiveDeviceAdmitsSeveralOpens)
{
    FakeDevice shared(sys(), {.name = u"\\Device\\Shared", .exclusive = false});
    Handle a = 0, b = 0;
    EXPECT_EQ(Open(&a, true, u"\\Device\\Shared"), STATUS_SUCCESS);
    EXPECT_EQ(Open(&b, true, u"\\Device\\Shared"), STATUS_SUCCESS);
    EXPECT_EQ(emu::io::OpenFileCount(shared.device()), 2);
    emu::io::Close(a);
    emu::io::Close(b);
}

TEST_F(UserRequestPathTest, FailedCreateGetsNoCleanupNorCloseAndFreesTheDevice)
{
    fake_->On(IRP_MJ_CREATE, [](PIRP irp, PIO_STACK_LOCATION) { return CompleteIrp(irp, STATUS_DEVICE_BUSY); });
    Handle handle = 0;
    EXPECT_EQ(Open(&handle), STATUS_DEVICE_BUSY);
    EXPECT_EQ(fake_->Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE}));
    EXPECT_EQ(emu::io::OpenFileCount(fake_->device()), 0);
    EXPECT_EQ(emu::io::OpenHandleCount(), 0u);
}

struct RefusedOpenCase {
    const char* label;
    std::u16string name;
    std::function<void(FakeDevice&)> arrange;
    NTSTATUS expected;
};
void PrintTo(const RefusedOpenCase& c, std::ostream* out) { *out << c.label; }

class RefusedOpen : public UserRequestPathTest, public ::testing::WithParamInterface<RefusedOpenCase> {};

TEST_P(RefusedOpen, NeverReachesTheDriver)
{
    GetParam().arrange(*fake_);
    Handle handle = 0;
    EXPECT_EQ(Open(&handle, true, GetParam().name), GetParam().expected);
    EXPECT_TRUE(fake_->Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedOpen,
    ::testing::Values(
        RefusedOpenCase{"no such link", u"\\??\\COM9", [](FakeDevice&) {}, STATUS_OBJECT_NAME_NOT_FOUND},
        RefusedOpenCase{"no such directory", u"\\Nowhere\\COM3", [](FakeDevice&) {}, STATUS_OBJECT_PATH_NOT_FOUND},
        RefusedOpenCase{"link to a deleted name", u"\\??\\COM3", [](FakeDevice& f) { f.DeleteDevice(); },
                        STATUS_OBJECT_NAME_NOT_FOUND},
        RefusedOpenCase{"stack being removed", u"\\??\\COM3",
                        [](FakeDevice& f) { emu::io::SetRemovalPending(f.device(), true); }, STATUS_NO_SUCH_DEVICE},
        RefusedOpenCase{"device still initialising", u"\\??\\COM3",
                        [](FakeDevice& f) { f.device()->Flags |= DO_DEVICE_INITIALIZING; }, STATUS_NO_SUCH_DEVICE}),
    [](const auto& info) {
        std::string name = info.param.label;
        for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

TEST_F(UserRequestPathTest, OpenHandleKeepsADeletedDeviceUntilItsCloseIsDelivered)
{
    Handle handle = OpenOrFail();
    bool noneOpen = false;
    emu::io::WhenNoOpenFiles(fake_->device(), [&] { noneOpen = true; });
    PDEVICE_OBJECT device = fake_->device();
    fake_->DeleteLink();
    fake_->DeleteDevice();  // as at removal: the name goes, the object stays referenced
    EXPECT_FALSE(noneOpen);
    EXPECT_EQ(emu::io::OpenFileCount(device), 1);

    EXPECT_EQ(emu::io::Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(fake_->Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_TRUE(noneOpen);
}

TEST_F(UserRequestPathTest, BufferedReadCopiesBackExactlyTheReportedBytes)
{
    fake_->On(IRP_MJ_READ, [](PIRP irp, PIO_STACK_LOCATION sp) {
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_NE(buffer, irp->UserBuffer) << "a system buffer stands between driver and application";
        for (ULONG i = 0; i < sp->Parameters.Read.Length; ++i) buffer[i] = static_cast<UCHAR>(i + 1);
        return CompleteIrp(irp, STATUS_SUCCESS, 6);
    });
    Handle handle = OpenOrFail();
    std::array<UCHAR, 12> buffer;
    buffer.fill(kSentinel);
    StatusBlock block{};
    EXPECT_EQ(emu::io::ReadFile(handle, 0, &block, buffer.data(), 10), STATUS_SUCCESS);
    EXPECT_EQ(block.information, 6u);
    EXPECT_EQ(fake_->Requests().at(1).outputLength, 10u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(buffer[i], i + 1);
    for (int i = 6; i < 12; ++i) EXPECT_EQ(buffer[i], kSentinel) << "byte " << i << " was never reported";
    emu::io::Close(handle);
}

TEST_F(UserRequestPathTest, FailedReadCopiesNothingBackAndLeavesTheStatusBlock)
{
    fake_->On(IRP_MJ_READ, [](PIRP irp, PIO_STACK_LOCATION) {
        std::memset(irp->AssociatedIrp.SystemBuffer, 0x42, 4);
        return CompleteIrp(irp, STATUS_DEVICE_DATA_ERROR, 0);
    });
    Handle handle = OpenOrFail();
    std::array<UCHAR, 4> buffer;
    buffer.fill(kSentinel);
    StatusBlock block{};
    block.status = STATUS_PENDING;
    EXPECT_EQ(emu::io::ReadFile(handle, 0, &block, buffer.data(), 4), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(block.status, STATUS_PENDING) << "a failure that did not pend is only returned";
    EXPECT_EQ(buffer[0], kSentinel);
    emu::io::Close(handle);
}

TEST_F(UserRequestPathTest, DriverReportingMoreThanTheCallersBufferIsCaught)
{
    fake_->On(IRP_MJ_READ, [](PIRP irp, PIO_STACK_LOCATION) { return CompleteIrp(irp, STATUS_SUCCESS, 20); });
    Handle handle = OpenOrFail();
    std::array<UCHAR, 16> buffer;
    buffer.fill(kSentinel);
    StatusBlock block{};
    emu::io::ReadFile(handle, 0, &block, buffer.data(), 8);
    EXPECT_EQ(TakeViolations(emu::Rule::InformationExceedsBuffer).size(), 1u);
    EXPECT_EQ(buffer[8], kSentinel) << "nothing is copied past the caller's buffer";
    emu::io::Close(handle);
}

TEST_F(UserRequestPathTest, BufferedControlSharesOneSystemBufferForInputAndOutput)
{
    constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
    fake_->On(IRP_MJ_DEVICE_CONTROL, [](PIRP irp, PIO_STACK_LOCATION) {
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(buffer[2], 0xCD) << "output bytes beyond the input hold nothing the driver wrote";
        buffer[0] = static_cast<UCHAR>(buffer[0] + buffer[1]);
        return CompleteIrp(irp, STATUS_SUCCESS, 1);
    });
    Handle handle = OpenOrFail();
    const UCHAR input[2] = {40, 2};
    std::array<UCHAR, 4> output;
    output.fill(kSentinel);
    StatusBlock block{};
    EXPECT_EQ(emu::io::DeviceIoControlFile(handle, 0, &block, kCode, input, 2, output.data(), 4), STATUS_SUCCESS);
    EXPECT_EQ(output[0], 42);
    EXPECT_EQ(output[1], kSentinel);
    const RecordedRequest request = fake_->Requests().at(1);
    EXPECT_EQ(request.input, (std::vector<UCHAR>{40, 2}));
    EXPECT_EQ(request.outputLength, 4u);
    emu::io::Close(handle);
}

TEST_F(UserRequestPathTest, HandleWithoutReadAccessCannotRead)
{
    Handle handle = 0;
    ASSERT_EQ(Open(&handle, true, u"\\??\\COM3", emu::io::kGenericWrite), STATUS_SUCCESS);
    UCHAR byte;
    StatusBlock block{};
    EXPECT_EQ(emu::io::ReadFile(handle, 0, &block, &byte, 1), STATUS_ACCESS_DENIED);
    EXPECT_EQ(fake_->Requests().size(), 1u);
    emu::io::Close(handle);
}

TEST_F(UserRequestPathTest, SynchronousHandleWaitsForAPendingRequest)
{
    fake_->HoldAll(IRP_MJ_WRITE);
    Handle handle = OpenOrFail();
    StatusBlock block{};
    NTSTATUS result = STATUS_PENDING;
    std::thread application([&] {
        const UCHAR data[3] = {1, 2, 3};
        result = emu::io::WriteFile(handle, 0, &block, data, 3);
    });
    PIRP irp = fake_->WaitHeld();
    fake_->CompleteHeld(irp, STATUS_SUCCESS, 3);
    application.join();
    EXPECT_EQ(result, STATUS_SUCCESS);
    EXPECT_EQ(block.information, 3u);
    emu::io::Close(handle);
}

TEST_F(UserRequestPathTest, OverlappedRequestReturnsPendingThenFillsTheBlockAndSetsTheEvent)
{
    fake_->HoldAll(IRP_MJ_READ);
    Handle handle = OpenOrFail(false);
    Handle event = 0;
    emu::io::CreateEvent(&event, true, true);
    std::array<UCHAR, 8> buffer;
    buffer.fill(kSentinel);
    StatusBlock block{};
    block.status = STATUS_PENDING;

    EXPECT_EQ(emu::io::ReadFile(handle, event, &block, buffer.data(), 8), STATUS_PENDING);
    EXPECT_EQ(emu::io::WaitForSingleObject(event, 0), STATUS_TIMEOUT) << "the event is reset when the read starts";
    PIRP irp = fake_->WaitHeld();
    FakeDevice::Fill(irp, {'o', 'k'});
    fake_->CompleteHeld(irp, STATUS_SUCCESS, 2);

    EXPECT_EQ(emu::io::WaitForSingleObject(event, std::nullopt), STATUS_SUCCESS);
    EXPECT_EQ(block.status, STATUS_SUCCESS);
    EXPECT_EQ(block.information, 2u);
    EXPECT_EQ(buffer[1], 'k');
    EXPECT_EQ(buffer[2], kSentinel);
    emu::io::Close(event);
    emu::io::Close(handle);
}

TEST_F(UserRequestPathTest, WaitWithATimeoutEndsOnlyWhenEmulatedTimeMoves)
{
    Handle event = 0;
    emu::io::CreateEvent(&event, false, false);
    NTSTATUS result = STATUS_PENDING;
    std::thread application([&] { result = emu::io::WaitForSingleObject(event, 50 * emu::kMillisecond); });
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 1; }, "the application to wait");
    sys().clock().AdvanceBy(49 * emu::kMillisecond);
    EXPECT_EQ(sys().clock().TimedWaiters(), 1u);
    sys().clock().AdvanceBy(1 * emu::kMillisecond);
    application.join();
    EXPECT_EQ(result, STATUS_TIMEOUT);
    emu::io::Close(event);
}

TEST_F(UserRequestPathTest, CloseWithARequestInFlightDefersIrpMjCloseUntilItCompletes)
{
    fake_->HoldAll(IRP_MJ_READ);
    Handle handle = OpenOrFail(false);
    UCHAR byte;
    StatusBlock block{};
    EXPECT_EQ(emu::io::ReadFile(handle, 0, &block, &byte, 1), STATUS_PENDING);
    PIRP irp = fake_->WaitHeld();

    emu::io::Close(handle);
    EXPECT_EQ(fake_->Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}));
    EXPECT_EQ(emu::io::OpenFileCount(fake_->device()), 1);
    Handle again = 0;
    EXPECT_EQ(Open(&again), STATUS_ACCESS_DENIED) << "the file object is still open";

    fake_->CompleteHeld(irp, STATUS_CANCELLED);
    emu::WaitUntil([&] { return emu::io::OpenFileCount(fake_->device()) == 0; }, "the deferred close");
    EXPECT_EQ(fake_->Majors().back(), IRP_MJ_CLOSE);
}

TEST_F(UserRequestPathTest, CancelIoCancelsOnlyTheCallingThreadsRequests)
{
    fake_->HoldAll(IRP_MJ_READ);
    Handle handle = OpenOrFail(false);
    UCHAR mine, theirs;
    StatusBlock mineBlock{}, theirsBlock{};
    EXPECT_EQ(emu::io::ReadFile(handle, 0, &mineBlock, &mine, 1), STATUS_PENDING);
    std::thread other([&] { emu::io::ReadFile(handle, 0, &theirsBlock, &theirs, 1); });
    other.join();
    fake_->WaitHeld(2);

    StatusBlock cancelBlock{};
    EXPECT_EQ(emu::io::CancelIoFile(handle, &cancelBlock), STATUS_SUCCESS);
    EXPECT_EQ(mineBlock.status, STATUS_CANCELLED);
    EXPECT_EQ(fake_->HeldCount(), 1u);

    EXPECT_EQ(emu::io::CancelIoFileEx(handle, &mineBlock, &cancelBlock), STATUS_NOT_FOUND);
    EXPECT_EQ(emu::io::CancelIoFileEx(handle, &theirsBlock, &cancelBlock), STATUS_SUCCESS);
    EXPECT_EQ(theirsBlock.status, STATUS_CANCELLED);
    emu::io::Close(handle);
}

TEST_F(UserRequestPathTest, HandlesLeftOpenAtShutdownAreLeaks)
{
    OpenOrFail();
    Handle event = 0;
    emu::io::CreateEvent(&event, true, false);
    fake_.reset();
    sys().Shutdown();
    auto leaks = TakeViolations(emu::Rule::HandleLeak);
    ASSERT_EQ(leaks.size(), 2u);
    EXPECT_NE(leaks[0].message.find("file \\??\\COM3"), std::string::npos) << leaks[0].message;
    EXPECT_NE(leaks[1].message.find("(event)"), std::string::npos) << leaks[1].message;
}

// As for a process that exits: a request in flight is cancelled, its call
// returns, and from then on calls are refused and requests never sent.
TEST_F(UserRequestPathTest, ClosingToApplicationsEndsTheirRequestsAndRefusesNewCalls)
{
    fake_->HoldAll(IRP_MJ_READ);
    Handle handle = OpenOrFail();
    NTSTATUS result = STATUS_PENDING;
    std::thread application([&] {
        emu::ApplicationCall call;
        UCHAR byte;
        StatusBlock block{};
        result = emu::io::ReadFile(handle, 0, &block, &byte, 1);
    });
    fake_->WaitHeld();
    EXPECT_TRUE(sys().CloseToApplications());
    application.join();
    EXPECT_EQ(result, STATUS_CANCELLED);

    EXPECT_FALSE(emu::ApplicationCall().admitted());
    UCHAR byte;
    StatusBlock block{};
    EXPECT_EQ(emu::io::ReadFile(handle, 0, &block, &byte, 1), STATUS_CANCELLED);
    EXPECT_EQ(fake_->Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ}));
    emu::io::Close(handle);
}

// A call that waits on something only the application ends holds the
// system up for no longer than the host is willing to wait.
TEST_F(UserRequestPathTest, ClosingToApplicationsWaitsForACallOnlyAsLongAsAsked)
{
    std::promise<void> inside, release;
    std::thread application([&] {
        emu::ApplicationCall call;
        inside.set_value();
        release.get_future().wait();
    });
    inside.get_future().wait();
    EXPECT_FALSE(sys().CloseToApplications(std::chrono::milliseconds(1)));
    release.set_value();
    application.join();
    EXPECT_TRUE(sys().CloseToApplications());
}

TEST_F(UserRequestPathTest, MajorTheDriverLeavesAtTheDefaultIsRefusedByTheIoManager)
{
    PDRIVER_OBJECT driver =
        sys().CreateDriver(u"OpenCloseOnly", [](PDRIVER_OBJECT d, PUNICODE_STRING) NTAPI -> NTSTATUS {
            d->MajorFunction[IRP_MJ_CREATE] = d->MajorFunction[IRP_MJ_CLEANUP] =
                d->MajorFunction[IRP_MJ_CLOSE] = [](PDEVICE_OBJECT, PIRP irp)
                                                     NTAPI { return CompleteIrp(irp, STATUS_SUCCESS); };
            return STATUS_SUCCESS;
        });
    std::u16string name = u"\\Device\\Plain";
    UNICODE_STRING counted{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, &counted, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    Handle handle = 0;
    ASSERT_EQ(Open(&handle, true, name), STATUS_SUCCESS);
    StatusBlock block{};
    EXPECT_EQ(emu::io::FlushBuffersFile(handle, &block), STATUS_INVALID_DEVICE_REQUEST);
    emu::io::Close(handle);
    IoDeleteDevice(device);
    sys().UnloadDriver(driver);
}

}  // namespace
}  // namespace tesmo::test
