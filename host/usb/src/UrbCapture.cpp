// What the device hands to the bus's capture (usb/UsbCapture.h): each URB
// as a USB analyser would show it. A descriptor request and the selection
// of a configuration are the control transfers the host controller makes
// of them (GET_DESCRIPTOR, SET_CONFIGURATION); a pipe's abort or reset is
// an IRP record of its endpoint.
#include "DeviceInternals.h"
#include "usb/UsbDevice.h"

namespace emu::usb {

namespace {

constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kDeviceToHost = 0x80;

std::span<const std::uint8_t> Bytes(const void* buffer, ULONG length)
{
    if (!buffer) return {};
    return {static_cast<const std::uint8_t*>(buffer), length};
}

bool Holds(PURB urb, std::size_t size) { return urb->UrbHeader.Length >= size; }

}  // namespace

void UsbDevice::CaptureSubmission(PIRP irp, PURB urb, emu::Time now)
{
    std::shared_ptr<UsbCapture> capture = capture_ ? capture_->Get() : nullptr;
    if (!capture || !urb) return;
    CapturedUrb record;
    record.irpId = reinterpret_cast<std::uintptr_t>(irp);
    record.function = urb->UrbHeader.Function;
    record.device = static_cast<std::uint16_t>(port_);
    record.time = now;
    switch (record.function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        if (!Holds(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))) return;
        auto& request = urb->UrbBulkOrInterruptTransfer;
        detail::Pipe* pipe = FindPipe(request.PipeHandle);
        if (!pipe) return;  // refused at once, never on the wire
        record.endpoint = pipe->endpoint.address;
        record.transfer = UsbCapture::kTransferBulk;
        if (!pipe->endpoint.in()) {
            auto out = Bytes(request.TransferBuffer, request.TransferBufferLength);
            record.data.assign(out.begin(), out.end());
        }
        break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        if (!Holds(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))) return;
        auto& request = urb->UrbControlDescriptorRequest;
        record.endpoint = kDeviceToHost;
        record.transfer = UsbCapture::kTransferControl;
        auto length = static_cast<std::uint16_t>(std::min<ULONG>(request.TransferBufferLength, 0xFFFF));
        record.setup = std::array<std::uint8_t, 8>{kDeviceToHost,
                                                   kGetDescriptor,
                                                   request.Index,
                                                   request.DescriptorType,
                                                   static_cast<std::uint8_t>(request.LanguageId),
                                                   static_cast<std::uint8_t>(request.LanguageId >> 8),
                                                   static_cast<std::uint8_t>(length),
                                                   static_cast<std::uint8_t>(length >> 8)};
        break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        if (!Holds(urb, offsetof(struct _URB_SELECT_CONFIGURATION, Interface))) return;
        const auto* descriptor = urb->UrbSelectConfiguration.ConfigurationDescriptor;
        record.endpoint = 0;
        record.transfer = UsbCapture::kTransferControl;
        record.setup =
            std::array<std::uint8_t, 8>{0,
                                        kSetConfiguration,
                                        static_cast<std::uint8_t>(descriptor ? descriptor->bConfigurationValue : 0),
                                        0,
                                        0,
                                        0,
                                        0,
                                        0};
        break;
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: {
        if (!Holds(urb, sizeof(struct _URB_PIPE_REQUEST))) return;
        detail::Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
        record.endpoint = pipe ? pipe->endpoint.address : 0;
        record.transfer = UsbCapture::kTransferIrpInfo;
        break;
    }
    default: return;  // nothing the bus carries
    }
    capture->Submitted(record);
}

void UsbDevice::CaptureCompletion(PIRP irp, PURB urb)
{
    std::shared_ptr<UsbCapture> capture = capture_ ? capture_->Get() : nullptr;
    std::uint64_t irpId = reinterpret_cast<std::uintptr_t>(irp);
    if (!capture || !urb || !capture->Knows(irpId)) return;
    CapturedUrb record;
    record.irpId = irpId;
    record.usbdStatus = static_cast<std::uint32_t>(urb->UrbHeader.Status);
    record.time = clock().Now();
    std::span<const std::uint8_t> in;
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        auto& request = urb->UrbBulkOrInterruptTransfer;
        if (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
            in = Bytes(request.TransferBuffer, request.TransferBufferLength);
        }
    } else if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        auto& request = urb->UrbControlDescriptorRequest;
        in = Bytes(request.TransferBuffer, request.TransferBufferLength);
    }
    record.data.assign(in.begin(), in.end());
    capture->Completed(std::move(record));
}

}  // namespace emu::usb
