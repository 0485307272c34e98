// The bus thread's side of IRP_MJ_INTERNAL_DEVICE_CONTROL: descriptor
// requests, configuration selection, pipe abort and reset, and the hub port
// requests. Bulk transfers are in BulkTransfers.cpp.
#include <cstring>
#include <set>

#include "DeviceInternals.h"
#include "emu/HexText.h"
#include "usb/UsbDevice.h"

namespace emu::usb {

using detail::Completions;
using detail::Pipe;
using detail::Transfer;

namespace {

constexpr std::size_t kSelectHeaderSize = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);

}  // namespace

NTSTATUS UsbDevice::DispatchInternalControl(PIRP irp)
{
    ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
    case IOCTL_INTERNAL_USB_RESET_PORT: {
        emu::Time now = clock().Now();
        std::unique_lock lock(mutex_);
        if (stopping_) {
            // The bus is tearing the device down; its thread takes no more work.
            lock.unlock();
            irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_DEVICE_NOT_CONNECTED;
        }
        IoMarkIrpPending(irp);
        if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            CaptureSubmission(irp, static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1),
                              now);
        }
        thread_->Post([this, irp] { ProcessInternalRequest(irp); });
        return STATUS_PENDING;
    }
    default:
        detail::ReportNotModelled(irp, "internal device control code " + emu::HexNumber(code, 4));
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }
}

void UsbDevice::ProcessInternalRequest(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: ProcessUrb(irp, static_cast<PURB>(sp->Parameters.Others.Argument1)); return;
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* word = static_cast<ULONG*>(sp->Parameters.Others.Argument1);
        std::lock_guard lock(mutex_);
        if (!word) {
            status = STATUS_INVALID_PARAMETER;
        } else if (gone_) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            *word = portStatus_;
        }
        break;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT: {
        std::lock_guard lock(mutex_);
        ++portResets_;
        if (gone_) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else if (!NT_SUCCESS(portResetResult_)) {
            status = portResetResult_;
        } else {
            // The hub resets the device and puts its configuration back:
            // the port is enabled and no endpoint is halted any more.
            portStatus_ |= USBD_PORT_ENABLED;
            for (auto& pipe : pipes_) pipe->halted = false;
        }
        break;
    }
    }
    detail::CompleteAtDispatch(irp, status);
}

void UsbDevice::ProcessUrb(PIRP irp, PURB urb)
{
    USHORT function = urb ? urb->UrbHeader.Function : 0xFFFF;
    HoldIfArmed(HoldPoint::UrbReceived, function, irp);
    if (!urb) {
        detail::CompleteAtDispatch(irp, STATUS_INVALID_PARAMETER);
        return;
    }
    {
        Completions done;
        std::lock_guard lock(mutex_);
        ++urbsReceived_[function];
        // A request that fails here moved nothing, and its length says so:
        // the driver reads the length of a failed transfer too.
        auto nothingMoved = [&] {
            if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
                urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
            } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                       urb->UrbHeader.Length >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
                urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
            }
        };
        if (gone_) {
            nothingMoved();
            done.Add(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
            return;
        }
        if (const UrbFailure* failure = MatchFailure(urb)) {
            nothingMoved();
            done.Add(irp, urb, failure->usbdStatus, failure->status);
            return;
        }
        switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: GetDescriptor(urb, done, irp); return;
        case URB_FUNCTION_SELECT_CONFIGURATION: SelectConfiguration(urb, done, irp); return;
        default: break;
        }
    }
    switch (function) {
    case URB_FUNCTION_ABORT_PIPE: AbortPipe(urb, irp); return;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: ResetPipe(urb, irp); return;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: SubmitBulk(urb, irp); return;
    default: break;
    }
    detail::ReportNotModelled(irp, "URB function " + emu::HexNumber(function, 4));
    urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
    detail::CompleteAtDispatch(irp, STATUS_INVALID_PARAMETER);
}

const UrbFailure* UsbDevice::MatchFailure(PURB urb)
{
    for (auto& [failure, seen] : failures_) {
        if (failure.function != urb->UrbHeader.Function) continue;
        if (failure.descriptorType && (failure.function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
                                       urb->UrbControlDescriptorRequest.DescriptorType != *failure.descriptorType)) {
            continue;
        }
        ++seen;
        if (failure.occurrence == 0 || failure.occurrence == seen) return &failure;
    }
    return nullptr;
}

void UsbDevice::GetDescriptor(PURB urb, Completions& done, PIRP irp)
{
    auto& request = urb->UrbControlDescriptorRequest;
    if (urb->UrbHeader.Length < sizeof request) {
        done.Add(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        return;
    }
    if (request.UrbLink || (!request.TransferBuffer && request.TransferBufferMDL)) {
        detail::ReportNotModelled(irp, "descriptor request with a linked URB or an MDL");
        done.Add(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        return;
    }
    std::span<const std::uint8_t> source;
    if (request.Index == 0 && request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        source = config_.descriptors.DeviceBytes();
    } else if (request.Index == 0 && request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        source = configurationAnswer_ ? std::span<const std::uint8_t>(*configurationAnswer_)
                                      : std::span<const std::uint8_t>(config_.descriptors.configuration);
    } else {
        // The device has no such descriptor: it stalls the control pipe.
        request.TransferBufferLength = 0;
        done.Add(irp, urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
        return;
    }
    if (!request.TransferBuffer && request.TransferBufferLength) {
        done.Add(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        return;
    }
    ULONG copied = static_cast<ULONG>(std::min<std::size_t>(request.TransferBufferLength, source.size()));
    if (copied) std::memcpy(request.TransferBuffer, source.data(), copied);
    request.TransferBufferLength = copied;
    done.Add(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

void UsbDevice::SelectConfiguration(PURB urb, Completions& done, PIRP irp)
{
    auto& request = urb->UrbSelectConfiguration;
    auto invalid = [&] { done.Add(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER); };
    if (urb->UrbHeader.Length < kSelectHeaderSize) return invalid();
    if (!request.ConfigurationDescriptor) {
        // Unconfigure: every pipe closes.
        CloseConfiguration(done);
        done.Add(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
        return;
    }
    if (request.ConfigurationDescriptor->bConfigurationValue != model_->value) return invalid();

    // Each interface of the configuration exactly once, entries laid out one
    // behind the other by their Length, all inside the request.
    struct Entry {
        PUSBD_INTERFACE_INFORMATION info;
        const detail::InterfaceModel* model;
    };
    std::vector<Entry> entries;
    std::set<std::uint8_t> seen;
    std::size_t offset = kSelectHeaderSize;
    for (unsigned i = 0; i < model_->numInterfaces; ++i) {
        if (offset + GET_USBD_INTERFACE_SIZE(0) > urb->UrbHeader.Length) return invalid();
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<char*>(urb) + offset);
        const detail::InterfaceModel* m = model_->Find(info->InterfaceNumber, info->AlternateSetting);
        if (!m || !seen.insert(info->InterfaceNumber).second) return invalid();
        if (info->NumberOfPipes != m->declaredEndpoints || m->endpoints.size() != m->declaredEndpoints) {
            return invalid();
        }
        if (info->Length != GET_USBD_INTERFACE_SIZE(info->NumberOfPipes)) return invalid();
        if (offset + info->Length > urb->UrbHeader.Length) return invalid();
        entries.push_back(Entry{info, m});
        offset += info->Length;
    }

    CloseConfiguration(done);
    configurationHandle_ = NewHandle();
    for (const Entry& entry : entries) {
        PUSBD_INTERFACE_INFORMATION info = entry.info;
        info->InterfaceHandle = NewHandle();
        info->Class = entry.model->interfaceClass;
        info->SubClass = entry.model->interfaceSubClass;
        info->Protocol = entry.model->interfaceProtocol;
        PUSBD_PIPE_INFORMATION records = info->Pipes;
        for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
            const detail::EndpointModel& endpoint = entry.model->endpoints[p];
            auto pipe = std::make_unique<Pipe>();
            pipe->handle = NewHandle();
            pipe->endpoint = endpoint;
            records[p].MaximumPacketSize = endpoint.maxPacketSize;
            records[p].EndpointAddress = endpoint.address;
            records[p].Interval = endpoint.interval;
            records[p].PipeType = endpoint.type();
            records[p].PipeHandle = pipe->handle;
            pipes_.push_back(std::move(pipe));
        }
    }
    request.ConfigurationHandle = configurationHandle_;
    done.Add(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

void UsbDevice::AbortPipe(PURB urb, PIRP irp)
{
    PipeRequest(urb, irp, [this](Pipe& pipe, Completions& done) {
        FailTransfers([&pipe](const Transfer& t) { return t.pipe == &pipe; }, USBD_STATUS_CANCELED, STATUS_CANCELLED,
                      done);
    });
}

void UsbDevice::ResetPipe(PURB urb, PIRP irp)
{
    PipeRequest(urb, irp, [](Pipe& pipe, Completions&) { pipe.halted = false; });
}

void UsbDevice::PipeRequest(PURB urb, PIRP irp, const std::function<void(Pipe&, Completions&)>& act)
{
    std::uint8_t address;
    {
        Completions done;  // completes what `act` ended once the mutex is released
        std::lock_guard lock(mutex_);
        Pipe* pipe = urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)
                         ? nullptr
                         : FindPipe(urb->UrbPipeRequest.PipeHandle);
        if (!pipe) {
            done.Add(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
            return;
        }
        act(*pipe, done);
        address = pipe->endpoint.address;
    }
    CallInstrument([&] { instrument_.OnPipeReset(address); });
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    detail::CompleteAtDispatch(irp, STATUS_SUCCESS);
}

Pipe* UsbDevice::FindPipe(USBD_PIPE_HANDLE handle)
{
    if (!handle) return nullptr;
    for (auto& pipe : pipes_) {
        if (pipe->open && pipe->handle == handle) return pipe.get();
    }
    return nullptr;
}

void UsbDevice::CloseConfiguration(Completions& done)
{
    FailTransfers([](const Transfer&) { return true; }, USBD_STATUS_CANCELED, STATUS_CANCELLED, done);
    for (auto& pipe : pipes_) pipe->open = false;
    configurationHandle_ = nullptr;
}

USBD_PIPE_HANDLE UsbDevice::NewHandle()
{
    nextHandle_ += 0x40;
    return reinterpret_cast<USBD_PIPE_HANDLE>(nextHandle_);
}

}  // namespace emu::usb
