#include "SerialPortTest.h"

#include "emu/Threads.h"

namespace tesmo::test {

std::unique_ptr<PortRequest> SerialPortTest::Read(ULONG length)
{
    auto request = PortRequest::Read(fdo(), length);
    request->Send();
    return request;
}

std::unique_ptr<PortRequest> SerialPortTest::Write(const Bytes& bytes)
{
    auto request = PortRequest::Write(fdo(), bytes);
    request->Send();
    return request;
}

std::unique_ptr<PortRequest> SerialPortTest::Control(ULONG code, const Bytes& input, ULONG outputLength)
{
    auto request = PortRequest::Control(fdo(), code, input, outputLength);
    request->Send();
    return request;
}

std::unique_ptr<PortRequest> SerialPortTest::StartRead(ULONG length)
{
    auto request = PortRequest::Read(fdo(), length);
    request->Start();
    return request;
}

void SerialPortTest::SetReadTimeouts(ULONG multiplier, ULONG constant, ULONG interval)
{
    SERIAL_TIMEOUTS timeouts{interval, multiplier, constant, 0, 0};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts))->status(), STATUS_SUCCESS);
}

void SerialPortTest::LeaveWaiting(const std::string& packet)
{
    instrument().Packet(packet);
    auto request = Read(0);
    ASSERT_EQ(request->status(), STATUS_SUCCESS);
    ASSERT_EQ(ext()->StaticBufferBytes, packet.size());
}

void SerialPortTest::UnplugHeldOpen()
{
    ASSERT_NE(OpenPort(), INVALID_HANDLE_VALUE);
    stack().Unplug();
    ASSERT_EQ(ReadQueueState(ext()), ULONG(FailRequests));
}

void SerialPortTest::WaitForTimedWaiters(std::size_t count, const std::string& who)
{
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == count; }, who);
}

bool SerialPortTest::WaitsOnTheClock(PortRequest& request)
{
    emu::WaitUntil([&] { return sys().clock().TimedWaiters() == 1 || request.completed(); },
                   "the request to wait on the clock");
    return !request.completed();
}

bool SerialPortTest::EveryWaitEndsAfter(emu::Time deadline)
{
    sys().clock().AdvanceBy(deadline);
    bool ended = sys().clock().TimedWaiters() == 0;
    // A wait that outlives its limit still has to end for the test to finish.
    for (bool moved = true; sys().clock().TimedWaiters() != 0 && moved;) moved = sys().clock().AdvanceToNextDeadline();
    return ended;
}

unsigned SerialPortTest::BulkTransfers() { return usb().UrbsReceived(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER); }

}  // namespace tesmo::test
