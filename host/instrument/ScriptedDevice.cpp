#include "instrument/ScriptedDevice.h"

#include <cstdio>

#include "emu/HexText.h"
#include "emu/Threads.h"
#include "emu_usb.h"
#include "instrument/Misuse.h"

namespace emu::usb {

namespace {

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::string Dump(std::span<const std::uint8_t> bytes) { return bytes.empty() ? "(nothing)" : emu::HexBytes(bytes); }

}  // namespace

ScriptedDevice::~ScriptedDevice() { Disconnect(); }

// ---- the script ----

std::size_t ScriptedDevice::Packet(std::vector<std::uint8_t> bytes)
{
    return Append(Step{Kind::Packet, std::move(bytes), std::nullopt, 0, 0});
}

std::size_t ScriptedDevice::Packet(std::string_view text) { return Packet(Bytes(text)); }

std::size_t ScriptedDevice::FailIn(std::int32_t usbdStatus)
{
    if (USBD_SUCCESS(usbdStatus)) ReportInstrumentMisuse("FailIn with a USBD status that is not an error");
    return Append(Step{Kind::FailIn, {}, std::nullopt, usbdStatus, 0});
}

std::size_t ScriptedDevice::Silence() { return Append(Step{Kind::Silence, {}, std::nullopt, 0, 0}); }

std::size_t ScriptedDevice::ExpectOut(std::optional<std::vector<std::uint8_t>> expected, std::int32_t completeWith)
{
    return Append(Step{Kind::ExpectOut, {}, std::move(expected), completeWith, 0});
}

std::size_t ScriptedDevice::ExpectOut(std::string_view expected, std::int32_t completeWith)
{
    return ExpectOut(Bytes(expected), completeWith);
}

std::size_t ScriptedDevice::Delay(emu::Time delay) { return Append(Step{Kind::Delay, {}, std::nullopt, 0, delay}); }

std::size_t ScriptedDevice::Append(Step step)
{
    std::size_t index;
    {
        std::lock_guard lock(mutex_);
        index = steps_.size();
        steps_.push_back(std::move(step));
        RunLocked();
    }
    Advance();
    return index;
}

bool ScriptedDevice::Release()
{
    {
        std::lock_guard lock(mutex_);
        if (position_ >= steps_.size() || steps_[position_].kind != Kind::Silence) return false;
        ++position_;
        RunLocked();
    }
    Advance();
    return true;
}

void ScriptedDevice::RunLocked()
{
    while (port_ && position_ < steps_.size()) {
        const Step& step = steps_[position_];
        switch (step.kind) {
        case Kind::Packet:
            if (step.bytes.size() > link_.PacketSize()) {
                ReportInstrumentMisuse("script step " + std::to_string(position_) + " has a packet of " +
                                       std::to_string(step.bytes.size()) + " bytes, more than the pipe's " +
                                       std::to_string(link_.PacketSize()));
            } else {
                link_.Post(InPacket::Data(step.bytes));
            }
            ++position_;
            break;
        case Kind::FailIn:
            link_.Post(InPacket::Failure(step.usbdStatus));
            ++position_;
            break;
        case Kind::Silence:
        case Kind::ExpectOut: return;
        case Kind::Delay:
            if (step.delay <= 0) {
                ++position_;
                break;
            }
            if (delayArmed_ == position_) return;
            delayArmed_ = position_;
            timers_.After(step.delay, [this, index = position_, epoch = epoch_] { OnDelayOver(index, epoch); });
            return;
        }
    }
}

void ScriptedDevice::OnDelayOver(std::size_t step, std::uint64_t epoch)
{
    {
        std::lock_guard lock(mutex_);
        if (epoch != epoch_ || position_ != step || delayArmed_ != step) return;
        delayArmed_.reset();
        ++position_;
        RunLocked();
    }
    Advance();
}

void ScriptedDevice::Advance()
{
    link_.Flush();
    emu::NotifyStateChanged();
}

// ---- where the script is ----

std::size_t ScriptedDevice::Position() const
{
    std::lock_guard lock(mutex_);
    return position_;
}

std::size_t ScriptedDevice::StepCount() const
{
    std::lock_guard lock(mutex_);
    return steps_.size();
}

bool ScriptedDevice::Finished() const
{
    std::lock_guard lock(mutex_);
    return position_ == steps_.size();
}

bool ScriptedDevice::WaitUntilReached(std::size_t step)
{
    return emu::WaitUntil([&] { return Position() >= step; }, "the script to reach step " + std::to_string(step));
}

bool ScriptedDevice::WaitUntilFinished()
{
    return emu::WaitUntil([&] { return Finished(); }, "the script to finish");
}

// ---- what the host did ----

std::vector<ScriptedDevice::OutTransfer> ScriptedDevice::OutTransfers() const
{
    std::lock_guard lock(mutex_);
    return outs_;
}

std::size_t ScriptedDevice::OutTransferCount() const
{
    std::lock_guard lock(mutex_);
    return outs_.size();
}

std::vector<std::string> ScriptedDevice::Problems() const
{
    std::lock_guard lock(mutex_);
    return problems_;
}

std::vector<std::uint8_t> ScriptedDevice::PipeResets() const
{
    std::lock_guard lock(mutex_);
    return pipeResets_;
}

std::size_t ScriptedDevice::InWantedCount() const
{
    std::lock_guard lock(mutex_);
    return inWanted_;
}

// ---- Instrument ----

void ScriptedDevice::Connect(BulkPort& port)
{
    {
        std::lock_guard lock(mutex_);
        if (port_) {
            ReportInstrumentMisuse("Connect on a scripted device that is already plugged in");
            return;
        }
        port_ = &port;
        link_.Open(port);
        timers_.Open(port.clock());
        RunLocked();
    }
    Advance();
}

void ScriptedDevice::Disconnect()
{
    {
        std::lock_guard lock(mutex_);
        if (!port_) return;
        port_ = nullptr;
        ++epoch_;
        delayArmed_.reset();
    }
    // Without mutex_: a delay timer or a delivery in progress may need it.
    timers_.Close();
    link_.Close();
    emu::NotifyStateChanged();
}

std::int32_t ScriptedDevice::OnBulkOut(std::span<const std::uint8_t> data)
{
    std::int32_t status = USBD_STATUS_SUCCESS;
    {
        std::lock_guard lock(mutex_);
        if (!port_) {
            ReportInstrumentMisuse("an OUT transfer reached a scripted device that is unplugged");
            return USBD_STATUS_DEVICE_GONE;
        }
        OutTransfer transfer{{data.begin(), data.end()}, std::nullopt, USBD_STATUS_SUCCESS};
        if (position_ < steps_.size() && steps_[position_].kind == Kind::ExpectOut) {
            const Step& step = steps_[position_];
            transfer.step = position_;
            transfer.status = step.usbdStatus;
            if (step.expected && *step.expected != transfer.bytes) {
                problems_.push_back("step " + std::to_string(position_) + " expected the OUT transfer " +
                                    Dump(*step.expected) + " but the host sent " + Dump(transfer.bytes));
            }
            ++position_;
        }
        status = transfer.status;
        outs_.push_back(std::move(transfer));
        RunLocked();
    }
    Advance();
    return status;
}

void ScriptedDevice::OnInWanted()
{
    {
        std::lock_guard lock(mutex_);
        ++inWanted_;
    }
    emu::NotifyStateChanged();
}

void ScriptedDevice::OnPipeReset(std::uint8_t endpointAddress)
{
    {
        std::lock_guard lock(mutex_);
        pipeResets_.push_back(endpointAddress);
    }
    emu::NotifyStateChanged();
}

}  // namespace emu::usb
