// The port going away with work under way or still arriving: a removal that
// was not preceded by a surprise removal waits for a long read's transfer and
// then cancels it; requests that reach the removed device are refused without
// releasing a lock they never held; a power request the driver does not
// handle releases the remove lock once; and the pipes marked open are aborted.
#include <gtest/gtest.h>

#include <thread>

#include "SerialPortTest.h"
#include "Usb.h"
#include "emu/RemoveLocks.h"
#include "emu/Threads.h"

namespace tesmo::test {
namespace {

using RemovalPathsTest = SerialPortTest;

// The race: the port is removed, with no surprise removal first, while a long
// read waits on the bus for packets the instrument never sends.
TEST_F(RemovalPathsTest, RemovalWaitsForALongReadsTransferThenCancelsIt)
{
    auto read = StartRead(200);
    emu::WaitUntil([&] { return usb().PendingTransfers() == 1; }, "the read's transfer to wait on the bus");
    const emu::Time bound = sys().clock().Now() + 5 * emu::kSecond;
    NTSTATUS removed = STATUS_PENDING;
    std::thread removal([&] { removed = pnp().Send(node(), IRP_MN_REMOVE_DEVICE); });
    emu::WaitUntil([&] { return sys().clock().NextDeadline() == bound; }, "the removal to wait for USB quiet");

    sys().clock().AdvanceBy(5 * emu::kSecond - 1);
    EXPECT_EQ(usb().PendingTransfers(), 1u) << "cancelled before the bound";
    EXPECT_FALSE(read->completed());
    sys().clock().AdvanceBy(1);
    read->WaitCompleted();
    removal.join();

    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_EQ(read->status(), STATUS_CANCELLED);
    EXPECT_EQ(read->information(), 0u);
    EXPECT_EQ(usb().PendingTransfers(), 0u);
}

struct LateCase {
    const char* label;
    UCHAR major;
};
void PrintTo(const LateCase& c, std::ostream* out) { *out << c.label; }

class AfterRemoval : public SerialPortTest, public ::testing::WithParamInterface<LateCase> {};

// A request dispatched just as the removal finished: the record still exists
// (the request's reference keeps the device object), its storage is gone.
TEST_P(AfterRemoval, IsRefusedAndReleasesNoLockItNeverHeld)
{
    PDEVICE_OBJECT device = fdo();
    PDEVICE_EXTENSION record = ext();
    ObReferenceObject(device);
    ASSERT_EQ(pnp().Disable(node()), STATUS_SUCCESS);

    auto request = GetParam().major == IRP_MJ_READ    ? PortRequest::Read(device, 10)
                   : GetParam().major == IRP_MJ_WRITE ? PortRequest::Write(device, BytesOf("x"))
                                                      : PortRequest::Control(device, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
    EXPECT_EQ(request->Send(), STATUS_DELETE_PENDING);
    EXPECT_EQ(request->status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(request->information(), 0u);
    EXPECT_TRUE(request->UnchangedFrom(0));
    EXPECT_TRUE(TakeViolations(emu::Rule::RemoveLockOverRelease).empty());
    emu::RemoveLockState lock = emu::InspectRemoveLock(&record->RequestLock);
    EXPECT_TRUE(lock.removed);
    EXPECT_EQ(lock.ioCount, 0);
    ObDereferenceObject(device);
}

INSTANTIATE_TEST_SUITE_P(Requests, AfterRemoval,
                         ::testing::Values(LateCase{"read", IRP_MJ_READ}, LateCase{"write", IRP_MJ_WRITE},
                                           LateCase{"device_control", IRP_MJ_DEVICE_CONTROL}),
                         [](const auto& info) { return std::string(info.param.label); });

struct MinorCase {
    const char* label;
    UCHAR minor;
};
void PrintTo(const MinorCase& c, std::ostream* out) { *out << c.label; }

class UnhandledPowerMinor : public SerialPortTest, public ::testing::WithParamInterface<MinorCase> {};

TEST_P(UnhandledPowerMinor, ReachesTheBusAndReleasesTheRemoveLockOnce)
{
    TopLevelIrp request(fdo(), IRP_MJ_POWER, GetParam().minor);
    EXPECT_EQ(PoCallDriver(fdo(), request.irp()), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(request.completed());
    EXPECT_EQ(request.finalStatus(), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(TakeViolations(emu::Rule::RemoveLockOverRelease).empty());
    EXPECT_EQ(emu::InspectRemoveLock(&ext()->RemoveLock).ioCount, 1) << "the request's hold was not released";
    EXPECT_EQ(ext()->RemoveLockCount, 0);
}

INSTANTIATE_TEST_SUITE_P(Minors, UnhandledPowerMinor,
                         ::testing::Values(MinorCase{"power_sequence", IRP_MN_POWER_SEQUENCE},
                                           MinorCase{"undefined", 0x17}),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- pipes marked open ----

class MarkedPipe : public SerialPortTest {
protected:
    // The record of the selected interfaces' pipe at `address`.
    PUSBD_PIPE_INFORMATION Pipe(UCHAR address)
    {
        auto* interface = ext()->InterfaceInfo;
        for (UCHAR i = 0; i < ext()->ConfigurationDescriptor->bNumInterfaces; ++i) {
            for (ULONG p = 0; p < interface->NumberOfPipes; ++p) {
                if (interface->Pipes[p].EndpointAddress == address) return &interface->Pipes[p];
            }
            interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(interface) +
                                                                      interface->Length);
        }
        ADD_FAILURE() << "no pipe at endpoint " << int(address);
        return nullptr;
    }
    // Marks the pipes open, aborts, and checks that exactly they were aborted.
    void ExpectAborted(const std::vector<UCHAR>& addresses)
    {
        for (UCHAR address : addresses) Pipe(address)->PipeFlags = 1;
        unsigned before = usb().UrbsReceived(URB_FUNCTION_ABORT_PIPE);
        EXPECT_EQ(DRIVER_SYMBOL(driver(), AbortPipes)(fdo()), STATUS_SUCCESS);
        EXPECT_EQ(usb().UrbsReceived(URB_FUNCTION_ABORT_PIPE) - before, addresses.size());
        EXPECT_EQ(instrument().PipeResets(), addresses) << "the aborts reached other pipes";
        for (UCHAR address : addresses) EXPECT_EQ(Pipe(address)->PipeFlags, 0u) << "still marked open";
    }
};

TEST_F(MarkedPipe, OfTheFirstInterfaceIsAbortedOnTheBus) { ExpectAborted({0x83}); }

TEST_F(MarkedPipe, OfTheInstrumentsInterfaceIsAbortedOnTheBus)
{
    ExpectAborted({0x01, 0x82});
}

}  // namespace
}  // namespace tesmo::test
