#include "instrument/StreamingSource.h"

#include "emu/Threads.h"
#include "emu_usb.h"
#include "instrument/CommandText.h"
#include "instrument/Misuse.h"
#include "instrument/Packets.h"

namespace emu::usb {

StreamingSource::StreamingSource(StreamingSourceOptions options)
    : options_(std::move(options)), running_(options_.running)
{
}

StreamingSource::~StreamingSource() { Disconnect(); }

void StreamingSource::Start()
{
    {
        std::lock_guard lock(mutex_);
        StartLocked();
    }
    link_.Flush();
    emu::NotifyStateChanged();
}

void StreamingSource::Stop()
{
    {
        std::lock_guard lock(mutex_);
        StopLocked();
    }
    emu::NotifyStateChanged();
}

bool StreamingSource::IsRunning() const
{
    std::lock_guard lock(mutex_);
    return running_;
}

std::uint64_t StreamingSource::BytesProduced() const
{
    std::lock_guard lock(mutex_);
    return produced_;
}

std::vector<std::string> StreamingSource::ReceivedCommands() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

void StreamingSource::Connect(BulkPort& port)
{
    {
        std::lock_guard lock(mutex_);
        if (port_) {
            ReportInstrumentMisuse("Connect on a streaming source that is already plugged in");
            return;
        }
        port_ = &port;
        link_.Open(port);
        timers_.Open(port.clock());
        if (running_) {
            running_ = false;
            StartLocked();
        }
    }
    link_.Flush();
    emu::NotifyStateChanged();
}

void StreamingSource::Disconnect()
{
    {
        std::lock_guard lock(mutex_);
        if (!port_) return;
        port_ = nullptr;
        ++epoch_;
        lines_.Reset();
    }
    // Without mutex_: a tick or a delivery in progress may need it to finish.
    timers_.Close();
    link_.Close();
    emu::NotifyStateChanged();
}

std::int32_t StreamingSource::OnBulkOut(std::span<const std::uint8_t> data)
{
    {
        std::lock_guard lock(mutex_);
        if (!port_) {
            ReportInstrumentMisuse("an OUT transfer reached a streaming source that is unplugged");
            return USBD_STATUS_DEVICE_GONE;
        }
        for (const auto& line : lines_.Feed(data)) {
            auto command = TrimBlanks(line.text);
            if (command.empty()) continue;
            received_.emplace_back(command);
            if (line.overrun) continue;
            auto header = CommandHeader(command);
            if (header == "START") StartLocked();
            if (header == "STOP") StopLocked();
        }
    }
    link_.Flush();
    emu::NotifyStateChanged();
    return USBD_STATUS_SUCCESS;
}

void StreamingSource::OnInWanted()
{
    {
        std::lock_guard lock(mutex_);
        if (!port_ || !running_ || RateMode()) return;
        ProduceLocked(std::uint64_t(options_.burstPackets) * link_.PacketSize(), true);
    }
    link_.Flush();
    emu::NotifyStateChanged();
}

std::size_t StreamingSource::FillInDirect(std::span<std::uint8_t> room)
{
    std::lock_guard lock(mutex_);
    if (!port_ || !running_ || RateMode() || !link_.Idle()) return 0;
    const std::size_t packetSize = link_.PacketSize();
    const std::size_t count = room.size() - room.size() % packetSize;
    options_.pattern.Fill(produced_, room.first(count));
    produced_ += count;
    return count;
}

void StreamingSource::StartLocked()
{
    if (running_) return;
    running_ = true;
    if (!port_) return;  // begins when plugged in
    if (!RateMode()) {
        ProduceLocked(std::uint64_t(options_.burstPackets) * link_.PacketSize(), true);
        return;
    }
    ++epoch_;
    ticksBegan_ = port_->clock().Now();
    producedAtBegin_ = produced_;
    ticksDone_ = 0;
    tickInterval_ = options_.tick;
    if (tickInterval_ <= 0) {
        // One full packet's worth of time, rounded up so a tick never finds
        // less than a packet owed.
        auto packetTime = (std::uint64_t(link_.PacketSize()) * emu::kSecond + options_.bytesPerSecond - 1) /
                          options_.bytesPerSecond;
        tickInterval_ = std::max<emu::Time>(1, static_cast<emu::Time>(packetTime));
    }
    ScheduleNextTickLocked();
}

void StreamingSource::StopLocked()
{
    if (!running_) return;
    running_ = false;
    ++epoch_;
    // Ticks already taken off the clock see the new epoch and do nothing.
    timers_.Cancel();
}

void StreamingSource::ScheduleNextTickLocked()
{
    auto epoch = epoch_;
    timers_.At(ticksBegan_ + emu::Time(ticksDone_ + 1) * tickInterval_, [this, epoch] { OnTick(epoch); });
}

void StreamingSource::OnTick(std::uint64_t epoch)
{
    {
        std::lock_guard lock(mutex_);
        if (!port_ || !running_ || epoch != epoch_) return;
        ++ticksDone_;
        auto allowed = producedAtBegin_ + AllowedSinceBeginLocked(port_->clock().Now());
        ProduceLocked(allowed - produced_, !options_.sendPartialPackets);
        ScheduleNextTickLocked();
    }
    link_.Flush();
    emu::NotifyStateChanged();
}

std::uint64_t StreamingSource::AllowedSinceBeginLocked(emu::Time now) const
{
    auto elapsed = static_cast<unsigned __int128>(now - ticksBegan_);
    return static_cast<std::uint64_t>(elapsed * options_.bytesPerSecond / emu::kSecond);
}

void StreamingSource::ProduceLocked(std::uint64_t count, bool wholePacketsOnly)
{
    std::uint16_t packetSize = link_.PacketSize();
    if (packetSize == 0) return;
    if (wholePacketsOnly) count -= count % packetSize;
    if (count == 0) return;
    auto bytes = options_.pattern.Slice(produced_, static_cast<std::size_t>(count));
    if (link_.Post(CutStream(bytes, packetSize))) produced_ += count;
}

}  // namespace emu::usb
