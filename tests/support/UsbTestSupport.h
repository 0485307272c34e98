// Test support for the USB bus: a small instrument that records what the bus
// hands it and pushes what a test tells it to, a request sent to a PDO the
// way a driver sends it, URB builders, and a fixture with a bus and one
// plugged device.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "SystemTest.h"
#include "usb/Bus.h"

namespace tesmo::test {

using Bytes = std::vector<std::uint8_t>;

class TestInstrument : public emu::usb::Instrument {
public:
    void Connect(emu::usb::BulkPort& port) override;
    void Disconnect() override;
    std::int32_t OnBulkOut(std::span<const std::uint8_t> data) override;
    void OnInWanted() override;
    void OnPipeReset(std::uint8_t endpointAddress) override;

    void Push(Bytes bytes);
    void PushFailure(USBD_STATUS status);
    // Answers every OnInWanted with these packets, once each.
    void AnswerWhenAsked(std::vector<Bytes> packets);
    void SetOutResult(USBD_STATUS status);

    bool connected() const;
    std::vector<Bytes> outTransfers() const;
    std::vector<std::uint8_t> resets() const;
    unsigned inWanted() const;

private:
    mutable std::mutex mutex_;
    emu::usb::BulkPort* port_ = nullptr;
    USBD_STATUS outResult_ = USBD_STATUS_SUCCESS;
    std::vector<Bytes> out_;
    std::vector<std::uint8_t> resets_;
    std::vector<Bytes> onDemand_;
    unsigned inWanted_ = 0;
};

// An internal device-control request sent to a PDO the way a driver sends
// it: IoBuildDeviceIoControlRequest with an event and a status block, the
// argument in the next stack location's Argument1.
class BusRequest {
public:
    BusRequest(PDEVICE_OBJECT pdo, ULONG ioControlCode, PVOID argument1);
    // Waits for the request if it is still out (cancelling it first), so the
    // event and status block never outlive it.
    ~BusRequest();
    BusRequest(const BusRequest&) = delete;
    BusRequest& operator=(const BusRequest&) = delete;

    NTSTATUS returned() const { return returned_; }
    bool completed() const;
    // Waits for completion and returns the final status.
    NTSTATUS Wait();
    BOOLEAN Cancel();
    PIRP irp() const { return irp_; }

private:
    KEVENT event_;
    IO_STATUS_BLOCK iosb_{};
    PIRP irp_ = nullptr;
    NTSTATUS returned_ = STATUS_PENDING;
};

// Sends a URB and waits: the final status.
NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, URB& urb);

URB DescriptorUrb(UCHAR type, void* buffer, ULONG length, UCHAR index = 0);
URB BulkUrb(USBD_PIPE_HANDLE pipe, ULONG flags, void* buffer, ULONG length);
URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe);

constexpr ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

// A copy of a select-configuration request after it came back, with the
// pipe handles by endpoint address.
struct SelectedConfiguration {
    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS usbdStatus = 0;
    Bytes request;  // the whole request as completed
    std::map<std::uint8_t, USBD_PIPE_INFORMATION> pipes;
};

class UsbBusTest : public SystemTest {
protected:
    emu::usb::UsbDevice& Plug(emu::usb::DeviceConfig config = {});
    PDEVICE_OBJECT pdo() { return device_->pdo(); }
    // Reads the configuration descriptor through the bus and selects it with
    // alternate setting 0 of interfaces 0 .. bNumInterfaces-1, as the
    // driver does.
    SelectedConfiguration SelectConfiguration();
    USBD_PIPE_HANDLE Pipe(std::uint8_t endpointAddress) const { return pipes_.at(endpointAddress); }

    TestInstrument instrument_;
    emu::usb::Bus bus_{sys()};
    emu::usb::UsbDevice* device_ = nullptr;
    std::map<std::uint8_t, USBD_PIPE_HANDLE> pipes_;
};

}  // namespace tesmo::test
