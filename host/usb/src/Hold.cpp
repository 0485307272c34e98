#include "usb/Hold.h"

#include "emu/Threads.h"

namespace emu::usb {

const char* HoldPointName(HoldPoint point)
{
    switch (point) {
    case HoldPoint::UrbReceived: return "URB received";
    case HoldPoint::InDataReady: return "IN data ready";
    case HoldPoint::InClaimed: return "IN transfer claimed";
    case HoldPoint::OutDelivered: return "OUT delivered";
    case HoldPoint::PowerReceived: return "power request received";
    }
    return "?";
}

Hold::Hold(HoldPoint point, std::optional<USHORT> urbFunction) : point_(point), urbFunction_(urbFunction)
{
    KeInitializeEvent(&go_, NotificationEvent, FALSE);
}

void Hold::WaitUntilHeld()
{
    emu::WaitUntil([this] { return held(); }, std::string("the bus thread to reach hold point '") +
                                                   HoldPointName(point_) + "'");
}

bool Hold::held() const
{
    std::lock_guard lock(mutex_);
    return held_;
}

bool Hold::passed() const
{
    std::lock_guard lock(mutex_);
    return caught_ && !held_ && released_;
}

bool Hold::released() const
{
    std::lock_guard lock(mutex_);
    return released_;
}

PIRP Hold::irp() const
{
    std::lock_guard lock(mutex_);
    return irp_;
}

void Hold::Release()
{
    {
        std::lock_guard lock(mutex_);
        if (released_) return;
        released_ = true;
    }
    KeSetEvent(&go_, IO_NO_INCREMENT, FALSE);
}

bool Hold::TryCatch(HoldPoint point, USHORT urbFunction, PIRP irp)
{
    std::lock_guard lock(mutex_);
    if (caught_ || released_ || point != point_) return false;
    if (urbFunction_ && *urbFunction_ != urbFunction) return false;
    caught_ = true;
    held_ = true;
    irp_ = irp;
    return true;
}

void Hold::Block()
{
    emu::NotifyStateChanged();
    KeWaitForSingleObject(&go_, Executive, KernelMode, FALSE, nullptr);
    {
        std::lock_guard lock(mutex_);
        held_ = false;
        irp_ = nullptr;
    }
    emu::NotifyStateChanged();
}

}  // namespace emu::usb
