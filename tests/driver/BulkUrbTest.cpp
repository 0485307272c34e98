// The bulk-transfer URBs as the bus receives them: whole packets go straight
// into the caller's buffer and single packets into the reassembly buffer, IN
// transfers accept short packets, OUT transfers carry the request's own
// buffer, and every URB has the platform's 64-bit size.
#include <gtest/gtest.h>

#include "SerialPortTest.h"
#include "usb/Hold.h"

namespace tesmo::test {
namespace {

struct ExpectedUrb {
    USBD_PIPE_HANDLE pipe;
    ULONG flags;
    ULONG length;
    const void* buffer;
};

class BulkUrbTest : public SerialPortTest {
protected:
    std::shared_ptr<emu::usb::Hold> CatchNextBulkUrb()
    {
        return usb().Arm(emu::usb::HoldPoint::UrbReceived, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    }
    // Checks the URB the bus thread holds, then lets it go on.
    void ExpectHeldUrb(emu::usb::Hold& hold, const ExpectedUrb& expected)
    {
        hold.WaitUntilHeld();
        auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(hold.irp())->Parameters.Others.Argument1);
        const auto& bulk = urb->UrbBulkOrInterruptTransfer;
        EXPECT_EQ(bulk.Hdr.Length, 128u);
        EXPECT_EQ(bulk.Hdr.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        EXPECT_EQ(bulk.PipeHandle, expected.pipe);
        EXPECT_EQ(bulk.TransferFlags, expected.flags);
        EXPECT_EQ(bulk.TransferBufferLength, expected.length);
        EXPECT_EQ(bulk.TransferBuffer, expected.buffer);
        EXPECT_EQ(bulk.TransferBufferMDL, nullptr);
        EXPECT_EQ(bulk.UrbLink, nullptr);
        hold.Release();
    }
};

TEST_F(BulkUrbTest, ALongReadTakesWholePacketsIntoTheCallersBufferAndTheTailIntoTheReassemblyBuffer)
{
    LeaveWaiting(std::string(30, 'w'));
    instrument().Packet(std::string(64, 'p'));
    instrument().Packet(std::string(64, 't'));
    auto whole = CatchNextBulkUrb();
    auto read = StartRead(100);
    auto* callers = static_cast<PUCHAR>(read->irp()->AssociatedIrp.SystemBuffer);
    auto tail = CatchNextBulkUrb();
    ExpectHeldUrb(*whole, {ext()->InPipeHandle, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 64, callers + 30});
    ExpectHeldUrb(*tail, {ext()->InPipeHandle, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 64,
                          ext()->ReassemblyBlock});
    read->WaitCompleted();
    EXPECT_EQ(read->information(), 100u);
}

TEST_F(BulkUrbTest, AWriteSendsTheRequestsOwnBuffer)
{
    auto hold = CatchNextBulkUrb();
    auto write = PortRequest::Write(fdo(), Bytes(300, 'x'));
    write->Start();
    ExpectHeldUrb(*hold, {ext()->OutPipeHandle, 0, 300, write->irp()->AssociatedIrp.SystemBuffer});
    write->WaitCompleted();
    EXPECT_EQ(write->information(), 300u);
}

TEST_F(BulkUrbTest, TheImmediateCharacterIsOneByteOnTheOutPipe)
{
    auto hold = CatchNextBulkUrb();
    auto request = PortRequest::Control(fdo(), IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes{'!'}, 0);
    request->Start();
    ExpectHeldUrb(*hold, {ext()->OutPipeHandle, 0, 1, request->irp()->AssociatedIrp.SystemBuffer});
    request->WaitCompleted();
    EXPECT_EQ(request->status(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace tesmo::test
