// Bulk and interrupt transfers: OUT bytes to the instrument, IN transfers
// filled from the instrument's packets, cancellation, halted pipes and the
// optional frame timing.
//
// Who completes a held transfer: whoever takes its cancel routine back
// (ClaimFromCancel) while the device's mutex shows it still in the list. The
// cancel routine removes what it finds in the list; a claimer that loses the
// race marks the transfer `cancelling` and leaves it to the cancel routine.
#include <algorithm>
#include <cstring>

#include "DeviceInternals.h"
#include "FrameSchedule.h"
#include "usb/UsbDevice.h"

namespace emu::usb {

using detail::Completions;
using detail::Pipe;
using detail::Transfer;

void UsbDevice::SubmitBulk(PURB urb, PIRP irp)
{
    auto& request = urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = nullptr;
    bool in = false;
    {
        Completions done;
        std::lock_guard lock(mutex_);
        auto fail = [&](USBD_STATUS usbd, NTSTATUS status) {
            request.TransferBufferLength = 0;
            done.Add(irp, urb, usbd, status);
        };
        if (urb->UrbHeader.Length < sizeof request) return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        if (request.UrbLink || (!request.TransferBuffer && request.TransferBufferMDL)) {
            detail::ReportNotModelled(irp, "bulk transfer with a linked URB or an MDL");
            return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        if (!request.TransferBuffer && request.TransferBufferLength) {
            return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        pipe = FindPipe(request.PipeHandle);
        if (!pipe) return fail(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
        USBD_PIPE_TYPE type = pipe->endpoint.type();
        if (type != UsbdPipeTypeBulk && type != UsbdPipeTypeInterrupt) {
            detail::ReportNotModelled(irp, "a transfer on a pipe that is neither bulk nor interrupt");
            return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        in = pipe->endpoint.in();
        if (((request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != in) {
            return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        if (!(portStatus_ & USBD_PORT_ENABLED)) return fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL);
        if (pipe->halted) return fail(USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL);
        if (in) {
            Transfer transfer;
            transfer.id = nextTransferId_++;
            transfer.irp = irp;
            transfer.urb = &request;
            transfer.pipe = pipe;
            if (!Enqueue(transfer, done)) return;
        }
    }
    emu::NotifyStateChanged();
    if (in) {
        PumpIn();
    } else {
        DeliverOut(*pipe, urb, irp);
    }
}

void UsbDevice::DeliverOut(Pipe& pipe, PURB urb, PIRP irp)
{
    auto& request = urb->UrbBulkOrInterruptTransfer;
    std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(request.TransferBuffer),
                                        request.TransferBufferLength);
    USBD_STATUS result = USBD_STATUS_SUCCESS;
    bool reached = true;
    if (instrumentOut_ && pipe.endpoint.address == *instrumentOut_) {
        reached = CallInstrument([&] { result = instrument_.OnBulkOut(bytes); });
    } else {
        std::lock_guard lock(mutex_);
        unroutedOutBytes_ += bytes.size();
    }
    HoldIfArmed(HoldPoint::OutDelivered, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, irp);

    Completions done;
    std::lock_guard lock(mutex_);
    Transfer transfer;
    transfer.id = nextTransferId_++;
    transfer.irp = irp;
    transfer.urb = &request;
    transfer.pipe = &pipe;
    transfer.state = Transfer::State::Ready;
    if (gone_ || !reached) {
        transfer.usbdStatus = USBD_STATUS_DEVICE_GONE;
        transfer.status = STATUS_DEVICE_NOT_CONNECTED;
    } else if (USBD_ERROR(result)) {
        pipe.halted = true;
        transfer.usbdStatus = result;
        transfer.status = STATUS_UNSUCCESSFUL;
    } else {
        transfer.usbdStatus = USBD_STATUS_SUCCESS;
        transfer.status = STATUS_SUCCESS;
        transfer.moved = request.TransferBufferLength;
    }
    // A zero-length transfer still sends one (empty) packet.
    const std::size_t packetSize = std::max<std::size_t>(pipe.endpoint.maxPacketSize, 1);
    transfer.unbooked = std::max<std::uint64_t>(1, (transfer.moved + packetSize - 1) / packetSize);
    if (config_.frameTiming && !gone_) {
        if (Enqueue(transfer, done)) ScheduleFrame(transfers_.back());
        return;
    }
    done.Add(transfer);
}

bool UsbDevice::Enqueue(Transfer transfer, Completions& done)
{
    transfers_.push_back(transfer);
    IoSetCancelRoutine(transfer.irp, detail::CancelTransfer);
    if (__atomic_load_n(&transfer.irp->Cancel, __ATOMIC_SEQ_CST) && detail::ClaimFromCancel(transfer.irp)) {
        // Cancelled before it was queued: nobody else will call the routine.
        transfers_.pop_back();
        transfer.usbdStatus = USBD_STATUS_CANCELED;
        transfer.status = STATUS_CANCELLED;
        done.Add(transfer);
        return false;
    }
    return true;
}

Transfer* UsbDevice::FirstWaitingForInstrument()
{
    if (!instrumentIn_) return nullptr;
    for (Transfer& t : transfers_) {
        if (t.state == Transfer::State::Waiting && !t.cancelling && t.pipe->endpoint.address == *instrumentIn_) {
            return &t;
        }
    }
    return nullptr;
}

bool UsbDevice::Fill(Transfer& t)
{
    const ULONG length = t.urb->TransferBufferLength;
    const std::size_t packetSize = t.pipe->endpoint.maxPacketSize;
    auto finish = [&](USBD_STATUS usbd) {
        t.state = Transfer::State::Ready;
        t.usbdStatus = usbd;
        t.status = detail::StatusForUsbd(usbd);
        // Any error halts the endpoint until the pipe is reset.
        if (USBD_ERROR(usbd)) t.pipe->halted = true;
        return true;
    };
    if (t.moved == length) return finish(USBD_STATUS_SUCCESS);
    while (!inQueue_.empty()) {
        InPacket packet = std::move(inQueue_.front());
        inQueue_.pop_front();
        ++t.unbooked;
        if (packet.failed) {
            t.state = Transfer::State::Ready;
            t.usbdStatus = packet.usbdStatus;
            t.status = STATUS_UNSUCCESSFUL;
            t.pipe->halted = true;
            return true;
        }
        const std::size_t size = packet.data.size();
        if (size > packetSize) return finish(USBD_STATUS_BABBLE_DETECTED);
        if (size > length - t.moved) return finish(USBD_STATUS_DATA_OVERRUN);
        if (size) std::memcpy(static_cast<std::uint8_t*>(t.urb->TransferBuffer) + t.moved, packet.data.data(), size);
        t.moved += static_cast<ULONG>(size);
        if (size < packetSize) {
            bool shortOk = (t.urb->TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
            return finish(shortOk ? USBD_STATUS_SUCCESS : USBD_STATUS_DATA_UNDERRUN);
        }
        if (t.moved == length) return finish(USBD_STATUS_SUCCESS);
    }
    // Nothing queued: a source that produces on demand may write whole
    // packets straight into the buffer, with no packet objects between.
    const std::size_t room = (length - t.moved) / packetSize * packetSize;
    if (room == 0 || gone_) return false;
    const std::size_t written =
        instrument_.FillInDirect({static_cast<std::uint8_t*>(t.urb->TransferBuffer) + t.moved, room});
    if (written == 0) return false;
    t.moved += static_cast<ULONG>(written);
    t.unbooked += written / packetSize;
    return t.moved == length ? finish(USBD_STATUS_SUCCESS) : false;
}

void UsbDevice::PumpIn()
{
    bool askedInVain = false;
    for (;;) {
        std::uint64_t id = 0;
        PIRP irp = nullptr;
        {
            Completions done;
            std::unique_lock lock(mutex_);
            pumpPosted_ = false;
            Transfer* t = FirstWaitingForInstrument();
            if (!t) return;
            const bool filled = Fill(*t);
            if (config_.frameTiming) BookPackets(*t);
            if (!filled) {
                // Fill took everything queued: ask the instrument for more.
                if (askedInVain || gone_) return;
                lock.unlock();
                CallInstrument([this] { instrument_.OnInWanted(); });
                emu::NotifyStateChanged();
                lock.lock();
                askedInVain = inQueue_.empty();
                continue;
            }
            askedInVain = false;
            if (t->pipe->halted) {
                Pipe* halted = t->pipe;
                FailTransfers(
                    [halted](const Transfer& other) {
                        return other.pipe == halted && other.state == Transfer::State::Waiting;
                    },
                    USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL, done);
            }
            id = t->id;
            irp = t->irp;
        }
        emu::NotifyStateChanged();
        HoldIfArmed(HoldPoint::InDataReady, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, irp);
        std::unique_lock lock(mutex_);
        auto it = std::find_if(transfers_.begin(), transfers_.end(), [id](const Transfer& t) { return t.id == id; });
        if (it == transfers_.end()) continue;  // cancelled, aborted or unplugged meanwhile
        if (config_.frameTiming) {
            ScheduleFrame(*it);
            continue;
        }
        if (!detail::ClaimFromCancel(it->irp)) {
            it->cancelling = true;
            continue;
        }
        Transfer claimed = *it;
        transfers_.erase(it);
        lock.unlock();
        FinishClaimedIn(claimed);
    }
}

void UsbDevice::FinishClaimedIn(Transfer transfer)
{
    HoldIfArmed(HoldPoint::InClaimed, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, transfer.irp);
    Completions done;
    done.Add(transfer);
}

void UsbDevice::BookPackets(Transfer& transfer)
{
    if (transfer.unbooked == 0) return;
    transfer.due = std::max(transfer.due, frames_.Book(config_.descriptors.speed, clock().Now(), transfer.unbooked));
    transfer.unbooked = 0;
}

void UsbDevice::ScheduleFrame(Transfer& transfer)
{
    if (transfer.due == 0 && transfer.unbooked == 0) transfer.unbooked = 1;  // took no packet: still one transaction
    BookPackets(transfer);
    transfer.state = Transfer::State::Ready;
    if (frameTimer_ && frameTimerAt_ <= transfer.due) return;
    if (frameTimer_) clock().Cancel(*frameTimer_);
    const emu::Time at = transfer.due;
    frameTimerAt_ = at;
    frameTimer_ = clock().AtIfAhead(at, [this, liveness = liveness_, at] {
        std::lock_guard alive(liveness->mutex);
        if (!liveness->alive) return;
        std::lock_guard lock(mutex_);
        if (frameTimer_ && frameTimerAt_ == at) frameTimer_.reset();
        thread_->Post([this] { CompleteDueTransfers(); });
    });
    // Its frame went by while the bus was busy (the clock may move on any
    // thread): a timer set in the past would wait for the clock's next move.
    if (!frameTimer_) thread_->Post([this] { CompleteDueTransfers(); });
}

void UsbDevice::CompleteDueTransfers()
{
    for (;;) {
        std::unique_lock lock(mutex_);
        const emu::Time now = clock().Now();
        auto due = std::find_if(transfers_.begin(), transfers_.end(), [now](const Transfer& t) {
            return t.state == Transfer::State::Ready && !t.cancelling && t.due <= now;
        });
        if (due == transfers_.end()) {
            for (Transfer& t : transfers_) {
                if (t.state == Transfer::State::Ready && !t.cancelling) ScheduleFrame(t);
            }
            return;
        }
        if (!detail::ClaimFromCancel(due->irp)) {
            due->cancelling = true;
            continue;
        }
        Transfer claimed = *due;
        transfers_.erase(due);
        lock.unlock();
        if (claimed.pipe->endpoint.in()) {
            FinishClaimedIn(claimed);
        } else {
            Completions done;
            done.Add(claimed);
        }
    }
}

void UsbDevice::FailTransfers(const std::function<bool(const Transfer&)>& which, USBD_STATUS usbd, NTSTATUS status,
                              Completions& done)
{
    for (auto it = transfers_.begin(); it != transfers_.end();) {
        if (it->cancelling || !which(*it)) {
            ++it;
            continue;
        }
        if (!detail::ClaimFromCancel(it->irp)) {
            it->cancelling = true;
            ++it;
            continue;
        }
        it->usbdStatus = usbd;
        it->status = status;
        done.Add(*it);
        it = transfers_.erase(it);
    }
}

void UsbDevice::OnTransferCancelled(PIRP irp)
{
    {
        Completions done;
        std::lock_guard lock(mutex_);
        auto it = std::find_if(transfers_.begin(), transfers_.end(), [irp](const Transfer& t) { return t.irp == irp; });
        if (it == transfers_.end()) return;
        it->usbdStatus = USBD_STATUS_CANCELED;
        it->status = STATUS_CANCELLED;
        done.Add(*it);
        transfers_.erase(it);
    }
    emu::NotifyStateChanged();
}

}  // namespace emu::usb
