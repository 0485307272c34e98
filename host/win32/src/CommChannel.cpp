#include "CommChannel.h"

namespace tesmo::win32 {

CommChannel::CommChannel(HANDLE port) : port_(port) { emu::io::CreateEvent(&event_, true, false); }

CommChannel::~CommChannel() { emu::io::Close(event_); }

NTSTATUS CommChannel::Control(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength)
{
    emu::io::StatusBlock block{};
    NTSTATUS status =
        emu::io::DeviceIoControlFile(ToIo(port_), event_, &block, code, input, inputLength, output, outputLength);
    if (status == STATUS_PENDING) {
        emu::io::WaitForSingleObject(event_, std::nullopt);
        status = block.status;
    }
    return status;
}

}  // namespace tesmo::win32
