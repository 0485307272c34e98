// An application's view of the started port through the Win32 API: one open
// handle at a time, a port that opens but refuses traffic while powered down,
// and requests held while the device cannot serve them, which the
// application may cancel and which are otherwise served when the device is
// ready again.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "DeviceTest.h"
#include "EventLog.h"
#include "TraceRecorder.h"
#include "Win32Handles.h"
#include "emu/Threads.h"

namespace tesmo::test {
namespace {

constexpr DWORD kGetBaudRate = 0x1B0050;
constexpr DWORD kGetTimeouts = 0x1B0020;

class ComPortTest : public StartedPortOf<emu::usb::ScriptedDevice>, protected Win32Handles {
protected:
    // Event-log entries of the device-control dispatch for one code.
    int ControlEntries(ULONG code)
    {
        PDEVICE_EXTENSION record = ext();
        int found = 0;
        for (ULONG i = 0; i <= record->LogMask; ++i) {
            const EVENT_LOG_ENTRY& entry = record->LogEntries[i];
            if (std::memcmp(entry.Tag, "Ioc>", 4) == 0 && entry.Value2 == code) ++found;
        }
        return found;
    }
};

TEST_F(ComPortTest, ASecondOpenIsRefusedBeforeItReachesTheDriver)
{
    TraceRecorder trace(sys());
    HANDLE first = OpenPort();
    ASSERT_NE(first, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(trace.Matching("ReadWrite.c:HandleCreateIrp ENTRY").size(), 1u);

    Close(first);
    EXPECT_NE(OpenPort(), INVALID_HANDLE_VALUE) << "the port stays locked after the handle was closed";
    EXPECT_EQ(trace.Matching("ReadWrite.c:HandleCreateIrp ENTRY").size(), 2u);
    EXPECT_TRUE(trace.Contains("ReadWrite.c:HandleCleanupIrp EXIT with status STATUS_SUCCESS\n"));
    EXPECT_TRUE(trace.Contains("ReadWrite.c:HandleCloseIrp EXIT with status 0x0\n"));
}

TEST_F(ComPortTest, WhilePoweredDownThePortOpensButRefusesTraffic)
{
    ASSERT_EQ(pnp().SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(devicePowerState(), PowerDeviceD3);
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();

    DWORD written = 0xEEEE;
    EXPECT_FALSE(WriteFile(port, "*RST\n", 5, &written, nullptr));
    EXPECT_EQ(GetLastError(), RtlNtStatusToDosError(STATUS_UNSUCCESSFUL));
    EXPECT_EQ(written, 0u);
    char answer[8];
    DWORD got = 0xEEEE;
    EXPECT_FALSE(ReadFile(port, answer, sizeof answer, &got, nullptr));
    EXPECT_EQ(GetLastError(), RtlNtStatusToDosError(STATUS_UNSUCCESSFUL));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(instrument().OutTransferCount(), 0u);

    ASSERT_EQ(pnp().SystemWake(), STATUS_SUCCESS);
    sys().power().WaitIdle();  // the return to D0 follows the system request
    instrument().ExpectOut("*RST\n");
    EXPECT_TRUE(WriteFile(port, "*RST\n", 5, &written, nullptr)) << GetLastError();
    EXPECT_EQ(written, 5u);
}

TEST_F(ComPortTest, UnpluggingFailsTheReadInFlightAndLaterTrafficUntilTheHandleCloses)
{
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    BOOL readOk = TRUE;
    DWORD readError = 0;
    DWORD got = 0xEEEE;
    std::thread reader([&] {
        char answer[10];
        readOk = ReadFile(port, answer, sizeof answer, &got, nullptr);
        readError = GetLastError();
    });
    // On the bus, not only on the clock: the read's transfer is what the unplug must fail.
    emu::WaitUntil([&] { return usb().PendingTransfers() == 1 && sys().clock().TimedWaiters() == 1; },
                   "the read to wait for the instrument");
    stack().Unplug();
    reader.join();
    EXPECT_FALSE(readOk);
    EXPECT_EQ(readError, RtlNtStatusToDosError(STATUS_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(got, 0u);

    DWORD written = 0xEEEE;
    EXPECT_FALSE(WriteFile(port, "*RST\n", 5, &written, nullptr));
    EXPECT_EQ(GetLastError(), RtlNtStatusToDosError(STATUS_UNSUCCESSFUL)) << "refused by the driver, not the bus";
    EXPECT_FALSE(pnp().Info(node()).removed) << "removed under an open handle";
    Close(port);
    EXPECT_TRUE(pnp().WaitRemoved(node()));
}

// ---- requests held while the device cannot serve them ----

class HeldRequestTest : public ComPortTest {
protected:
    void SetUp() override
    {
        ComPortTest::SetUp();
        port = OpenPort(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        // A stop being negotiated holds device-control requests.
        ASSERT_EQ(HoldQueue(), STATUS_SUCCESS);
        ASSERT_EQ(ReadQueueState(ext()), static_cast<ULONG>(HoldRequests));
        overlapped = NewOverlapped();
    }
    // Starts an overlapped GET_BAUD_RATE into `baud`; it stays pending.
    void StartHeldRequest()
    {
        EXPECT_FALSE(DeviceIoControl(port, kGetBaudRate, nullptr, 0, &baud, sizeof baud, nullptr, &overlapped));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        EXPECT_EQ(ext()->QueuedIrpCount, 1);
    }

    HANDLE port = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    ULONG baud = 0xEEEEEEEE;
};

TEST_F(HeldRequestTest, TheApplicationCanCancelAHeldRequest)
{
    StartHeldRequest();
    EXPECT_TRUE(CancelIo(port));
    DWORD got = 0xEEEE;
    EXPECT_FALSE(GetOverlappedResult(port, &overlapped, &got, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(baud, 0xEEEEEEEEu);
    EXPECT_EQ(ext()->QueuedIrpCount, 0);
    ASSERT_EQ(ReleaseQueue(), STATUS_SUCCESS);
}

TEST_F(HeldRequestTest, AHeldRequestIsServedWhenTheDeviceIsReadyAgain)
{
    TraceRecorder trace(sys());
    StartHeldRequest();
    EXPECT_EQ(ControlEntries(kGetBaudRate), 1);
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_EQ(ReleaseQueue(), STATUS_SUCCESS);
    DWORD got = 0;
    EXPECT_TRUE(GetOverlappedResult(port, &overlapped, &got, TRUE)) << GetLastError();
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(baud, 0x00020000u);
    EXPECT_EQ(ControlEntries(kGetBaudRate), 2) << "each pass through the dispatch is logged";
    EXPECT_EQ(trace.Matching("Ioctl.c: Queueing IRP").size(), 1u);

    COMMTIMEOUTS timeouts{};
    EXPECT_TRUE(GetCommTimeouts(port, &timeouts)) << "served at once once the queue is open";
    EXPECT_EQ(ControlEntries(kGetTimeouts), 1);
}

}  // namespace
}  // namespace tesmo::test
