#include "instrument/LoopbackInstrument.h"

#include "emu/Threads.h"
#include "emu_usb.h"
#include "instrument/Misuse.h"
#include "instrument/Packets.h"

namespace emu::usb {

LoopbackInstrument::~LoopbackInstrument() { Disconnect(); }

std::uint64_t LoopbackInstrument::BytesLooped() const
{
    std::lock_guard lock(mutex_);
    return looped_;
}

void LoopbackInstrument::Connect(BulkPort& port)
{
    std::lock_guard lock(mutex_);
    if (connected_) {
        ReportInstrumentMisuse("Connect on a loopback instrument that is already plugged in");
        return;
    }
    connected_ = true;
    link_.Open(port);
}

void LoopbackInstrument::Disconnect()
{
    {
        std::lock_guard lock(mutex_);
        if (!connected_) return;
        connected_ = false;
    }
    // Without mutex_: a delivery in progress may need it to finish.
    link_.Close();
    emu::NotifyStateChanged();
}

std::int32_t LoopbackInstrument::OnBulkOut(std::span<const std::uint8_t> data)
{
    {
        std::lock_guard lock(mutex_);
        if (!connected_) {
            ReportInstrumentMisuse("an OUT transfer reached a loopback instrument that is unplugged");
            return USBD_STATUS_DEVICE_GONE;
        }
        // An empty write sends nothing on a wire: nothing comes back.
        if (data.empty()) return USBD_STATUS_SUCCESS;
        if (link_.Post(CutMessage(data, link_.PacketSize()))) looped_ += data.size();
    }
    link_.Flush();
    emu::NotifyStateChanged();
    return USBD_STATUS_SUCCESS;
}

}  // namespace emu::usb
