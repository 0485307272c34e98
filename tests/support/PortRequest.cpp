#include "PortRequest.h"

#include <algorithm>

#include "emu/Threads.h"

namespace tesmo::test {

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

PortRequest::PortRequest(PDEVICE_OBJECT device, UCHAR major, const Bytes& input, std::size_t room)
    : top_(device, major)
{
    std::size_t size = std::max(input.size(), room);
    buffer_.assign(size + kGuard, kSentinel);
    std::copy(input.begin(), input.end(), buffer_.begin());
    before_ = buffer_;
    top_.irp()->IoStatus.Status = STATUS_PENDING;
    top_.irp()->IoStatus.Information = 0;
    // A request of no bytes has no system buffer, as the I/O manager builds it.
    if (size != 0) {
        top_.irp()->AssociatedIrp.SystemBuffer = buffer_.data();
        top_.irp()->Flags |= IRP_BUFFERED_IO;
    }
}

PortRequest::~PortRequest()
{
    if (thread_.joinable()) thread_.join();
}

std::unique_ptr<PortRequest> PortRequest::Read(PDEVICE_OBJECT device, ULONG length)
{
    auto request = std::make_unique<PortRequest>(device, IRP_MJ_READ, Bytes{}, length);
    request->top_.stack()->Parameters.Read.Length = length;
    return request;
}

std::unique_ptr<PortRequest> PortRequest::Write(PDEVICE_OBJECT device, const Bytes& bytes)
{
    auto request = std::make_unique<PortRequest>(device, IRP_MJ_WRITE, bytes, bytes.size());
    request->top_.stack()->Parameters.Write.Length = static_cast<ULONG>(bytes.size());
    return request;
}

std::unique_ptr<PortRequest> PortRequest::Control(PDEVICE_OBJECT device, ULONG code, const Bytes& input,
                                                  ULONG outputLength)
{
    auto request = std::make_unique<PortRequest>(device, IRP_MJ_DEVICE_CONTROL, input, outputLength);
    auto& parameters = request->top_.stack()->Parameters.DeviceIoControl;
    parameters.IoControlCode = code;
    parameters.InputBufferLength = static_cast<ULONG>(input.size());
    parameters.OutputBufferLength = outputLength;
    return request;
}

std::unique_ptr<PortRequest> PortRequest::Plain(PDEVICE_OBJECT device, UCHAR major)
{
    return std::make_unique<PortRequest>(device, major, Bytes{}, 0);
}

NTSTATUS PortRequest::Send()
{
    returned_ = top_.Send();
    dispatched_ = true;
    return returned_;
}

void PortRequest::Start()
{
    thread_ = std::thread([this] {
        emu::SetThreadName("requester");
        returned_ = top_.Send();
        dispatched_ = true;
        emu::NotifyStateChanged();
    });
}

void PortRequest::WaitCompleted()
{
    top_.WaitCompleted();
    if (thread_.joinable()) thread_.join();
}

Bytes PortRequest::Output(std::size_t count) const
{
    return Bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(std::min(count, buffer_.size())));
}

std::string PortRequest::Text() const
{
    Bytes delivered = Output(information());
    return std::string(delivered.begin(), delivered.end());
}

bool PortRequest::UnchangedFrom(std::size_t offset) const
{
    return std::equal(buffer_.begin() + static_cast<std::ptrdiff_t>(std::min(offset, buffer_.size())),
                      buffer_.end(), before_.begin() + static_cast<std::ptrdiff_t>(std::min(offset, before_.size())));
}

}  // namespace tesmo::test
