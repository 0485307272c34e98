// Overlapped I/O on the port: pending requests, GetOverlappedResult, events
// and the file handle as completion signals, cancellation and its race with
// completion, and waits on the emulated clock.
#include <array>
#include <thread>

#include "Win32Test.h"

namespace tesmo::test {
namespace {

class OverlappedTest : public Win32Test {
protected:
    void SetUp() override
    {
        device().HoldAll(IRP_MJ_READ);
        event_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        overlapped_.hEvent = event_;
        buffer_.fill(0xEE);
    }
    void TearDown() override
    {
        CloseHandle(event_);
        Win32Test::TearDown();
    }
    // Starts an overlapped read of 8 bytes that the driver holds.
    PIRP StartRead(OVERLAPPED* overlapped = nullptr)
    {
        overlapped = overlapped ? overlapped : &overlapped_;
        std::size_t held = device().HeldCount();
        EXPECT_FALSE(ReadFile(Port(FILE_FLAG_OVERLAPPED), buffer_.data(), 8, nullptr, overlapped));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        device().WaitHeld(held + 1);
        return device().Newest();
    }
    DWORD Result(OVERLAPPED* overlapped, BOOL wait, BOOL* ok)
    {
        DWORD bytes = 0xEEEEEEEE;
        *ok = GetOverlappedResult(Port(), overlapped, &bytes, wait);
        return bytes;
    }

    HANDLE event_ = nullptr;
    OVERLAPPED overlapped_{};
    std::array<UCHAR, 12> buffer_;
};

TEST_F(OverlappedTest, PendingReadCompletesThroughItsEventAndGetOverlappedResult)
{
    PIRP irp = StartRead();
    EXPECT_EQ(overlapped_.Internal, static_cast<ULONG_PTR>(STATUS_PENDING));
    EXPECT_EQ(WaitForSingleObject(event_, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "reset when the read started";
    BOOL ok = TRUE;
    Result(&overlapped_, FALSE, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    FakeDevice::Fill(irp, {'a', 'b', 'c'});
    device().CompleteHeld(irp, STATUS_SUCCESS, 3);
    EXPECT_EQ(WaitForSingleObject(event_, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(Result(&overlapped_, TRUE, &ok), 3u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(buffer_[2], 'c');
    EXPECT_EQ(buffer_[3], 0xEE);
}

TEST_F(OverlappedTest, WithoutAnEventTheFileHandleSignalsCompletion)
{
    OVERLAPPED plain{};
    PIRP irp = StartRead(&plain);
    std::thread driver([&] { device().CompleteHeld(irp, STATUS_SUCCESS, 0); });
    BOOL ok = FALSE;
    EXPECT_EQ(Result(&plain, TRUE, &ok), 0u);
    EXPECT_TRUE(ok);
    driver.join();
    EXPECT_EQ(WaitForSingleObject(Port(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST_F(OverlappedTest, RequestCompletedAtOnceSucceedsAtOnce)
{
    device().On(IRP_MJ_READ, [](PIRP irp, PIO_STACK_LOCATION) {
        FakeDevice::Fill(irp, {'x'});
        return CompleteIrp(irp, STATUS_SUCCESS, 1);
    });
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(Port(FILE_FLAG_OVERLAPPED), buffer_.data(), 8, &read, &overlapped_));
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(overlapped_.InternalHigh, 1u);
    EXPECT_EQ(WaitForSingleObject(event_, 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST_F(OverlappedTest, RequestFailedAtOnceLeavesTheOverlappedAndEventAlone)
{
    device().On(IRP_MJ_READ,
                [](PIRP irp, PIO_STACK_LOCATION) { return CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED); });
    EXPECT_FALSE(ReadFile(Port(FILE_FLAG_OVERLAPPED), buffer_.data(), 8, nullptr, &overlapped_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(overlapped_.Internal, static_cast<ULONG_PTR>(STATUS_PENDING));
    EXPECT_EQ(WaitForSingleObject(event_, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(OverlappedTest, CancelIoAbortsThePendingRead)
{
    StartRead();
    EXPECT_TRUE(CancelIo(Port()));
    BOOL ok = TRUE;
    EXPECT_EQ(Result(&overlapped_, TRUE, &ok), 0u);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(device().HeldCount(), 0u);
}

// Race: the cancel arrives after the driver took the read back for completion.
TEST_F(OverlappedTest, CancelArrivingWhileTheDriverCompletesLosesToTheCompletion)
{
    PIRP irp = StartRead();
    ASSERT_TRUE(device().Claim(irp));
    EXPECT_TRUE(CancelIo(Port()));
    FakeDevice::Fill(irp, {'o', 'k'});
    EXPECT_TRUE(device().CompleteHeld(irp, STATUS_SUCCESS, 2));
    BOOL ok = FALSE;
    EXPECT_EQ(Result(&overlapped_, TRUE, &ok), 2u);
    EXPECT_TRUE(ok);
}

// Race: the driver tries to complete after the cancel routine took the read.
TEST_F(OverlappedTest, CompletionArrivingAfterTheCancelIsNotMadeTwice)
{
    PIRP irp = StartRead();
    EXPECT_TRUE(CancelIo(Port()));
    EXPECT_FALSE(device().CompleteHeld(irp, STATUS_SUCCESS, 2)) << "the cancel routine owns the read";
    BOOL ok = TRUE;
    Result(&overlapped_, TRUE, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(OverlappedTest, CancelIoExCancelsOnlyTheNamedRequest)
{
    OVERLAPPED second{};
    second.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    StartRead();
    StartRead(&second);
    EXPECT_TRUE(CancelIoEx(Port(), &second));
    BOOL ok = TRUE;
    Result(&second, TRUE, &ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(overlapped_.Internal, static_cast<ULONG_PTR>(STATUS_PENDING));

    EXPECT_FALSE(CancelIoEx(Port(), &second)) << "nothing of it is pending any more";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_TRUE(CancelIoEx(Port(), nullptr));
    Result(&overlapped_, TRUE, &ok);
    CloseHandle(second.hEvent);
}

TEST_F(OverlappedTest, WaitTimeoutCountsEmulatedMilliseconds)
{
    ResetEvent(event_);
    DWORD result = WAIT_FAILED;
    std::thread application([&] { result = WaitForSingleObject(event_, 100); });
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 1; }, "the application to wait");
    sys().clock().AdvanceBy(99 * emu::kMillisecond);
    EXPECT_EQ(sys().clock().TimedWaiters(), 1u) << "still waiting after 99 ms";
    sys().clock().AdvanceBy(1 * emu::kMillisecond);
    application.join();
    EXPECT_EQ(result, static_cast<DWORD>(WAIT_TIMEOUT));
}

}  // namespace
}  // namespace tesmo::test
