#include "UsbTestSupport.h"

#include <cstring>

namespace tesmo::test {

using namespace emu::usb;

void TestInstrument::Connect(BulkPort& port)
{
    std::lock_guard lock(mutex_);
    port_ = &port;
}

void TestInstrument::Disconnect()
{
    std::lock_guard lock(mutex_);
    port_ = nullptr;
}

std::int32_t TestInstrument::OnBulkOut(std::span<const std::uint8_t> data)
{
    std::lock_guard lock(mutex_);
    out_.emplace_back(data.begin(), data.end());
    return outResult_;
}

void TestInstrument::OnInWanted()
{
    std::vector<Bytes> packets;
    BulkPort* port;
    {
        std::lock_guard lock(mutex_);
        ++inWanted_;
        if (onDemand_.empty()) return;
        packets.push_back(std::move(onDemand_.front()));
        onDemand_.erase(onDemand_.begin());
        port = port_;
    }
    for (auto& p : packets) port->PushIn(InPacket::Data(std::move(p)));
}

void TestInstrument::OnPipeReset(std::uint8_t endpointAddress)
{
    std::lock_guard lock(mutex_);
    resets_.push_back(endpointAddress);
}

void TestInstrument::Push(Bytes bytes)
{
    BulkPort* port;
    {
        std::lock_guard lock(mutex_);
        port = port_;
    }
    port->PushIn(InPacket::Data(std::move(bytes)));
}

void TestInstrument::PushFailure(USBD_STATUS status)
{
    BulkPort* port;
    {
        std::lock_guard lock(mutex_);
        port = port_;
    }
    port->PushIn(InPacket::Failure(status));
}

void TestInstrument::AnswerWhenAsked(std::vector<Bytes> packets)
{
    std::lock_guard lock(mutex_);
    onDemand_ = std::move(packets);
}

void TestInstrument::SetOutResult(USBD_STATUS status)
{
    std::lock_guard lock(mutex_);
    outResult_ = status;
}

bool TestInstrument::connected() const
{
    std::lock_guard lock(mutex_);
    return port_ != nullptr;
}

std::vector<Bytes> TestInstrument::outTransfers() const
{
    std::lock_guard lock(mutex_);
    return out_;
}

std::vector<std::uint8_t> TestInstrument::resets() const
{
    std::lock_guard lock(mutex_);
    return resets_;
}

unsigned TestInstrument::inWanted() const
{
    std::lock_guard lock(mutex_);
    return inWanted_;
}

BusRequest::BusRequest(PDEVICE_OBJECT pdo, ULONG ioControlCode, PVOID argument1)
{
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    irp_ = IoBuildDeviceIoControlRequest(ioControlCode, pdo, nullptr, 0, nullptr, 0, TRUE, &event_, &iosb_);
    IoGetNextIrpStackLocation(irp_)->Parameters.Others.Argument1 = argument1;
    returned_ = IoCallDriver(pdo, irp_);
}

BusRequest::~BusRequest()
{
    if (!completed()) {
        IoCancelIrp(irp_);
        Wait();
    }
}

bool BusRequest::completed() const { return KeReadStateEvent(const_cast<KEVENT*>(&event_)) != 0; }

NTSTATUS BusRequest::Wait()
{
    KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr);
    return iosb_.Status;
}

BOOLEAN BusRequest::Cancel() { return IoCancelIrp(irp_); }

NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, URB& urb)
{
    BusRequest request(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    return request.Wait();
}

URB DescriptorUrb(UCHAR type, void* buffer, ULONG length, UCHAR index)
{
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0, buffer, nullptr,
                                 length, nullptr);
    return urb;
}

URB BulkUrb(USBD_PIPE_HANDLE pipe, ULONG flags, void* buffer, ULONG length)
{
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, nullptr,
                                           length, flags, nullptr);
    return urb;
}

URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return urb;
}

UsbDevice& UsbBusTest::Plug(DeviceConfig config)
{
    device_ = &bus_.Plug(instrument_, std::move(config));
    return *device_;
}

SelectedConfiguration UsbBusTest::SelectConfiguration()
{
    SelectedConfiguration result;
    USB_CONFIGURATION_DESCRIPTOR header{};
    URB headerUrb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, &header, sizeof header);
    EXPECT_EQ(SubmitUrb(pdo(), headerUrb), STATUS_SUCCESS);
    Bytes configuration(header.wTotalLength);
    URB fullUrb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration.data(),
                                static_cast<ULONG>(configuration.size()));
    EXPECT_EQ(SubmitUrb(pdo(), fullUrb), STATUS_SUCCESS);
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());

    std::vector<USBD_INTERFACE_LIST_ENTRY> list(header.bNumInterfaces + 1);
    for (UCHAR i = 0; i < header.bNumInterfaces; ++i) {
        list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, i, 0, -1, -1, -1);
    }
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list.data());
    if (!urb) {
        ADD_FAILURE() << "no select-configuration request";
        return result;
    }
    result.status = SubmitUrb(pdo(), *urb);
    result.usbdStatus = urb->UrbHeader.Status;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(urb);
    result.request.assign(bytes, bytes + urb->UrbHeader.Length);
    for (const auto& entry : list) {
        if (!entry.InterfaceDescriptor) break;
        const USBD_PIPE_INFORMATION* records = entry.Interface->Pipes;
        for (ULONG p = 0; p < entry.Interface->NumberOfPipes; ++p) {
            const USBD_PIPE_INFORMATION& pipe = records[p];
            result.pipes[pipe.EndpointAddress] = pipe;
            pipes_[pipe.EndpointAddress] = pipe.PipeHandle;
        }
    }
    ExFreePool(urb);
    return result;
}

}  // namespace tesmo::test
