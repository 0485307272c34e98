#include "instrument/CommandInstrument.h"

#include <algorithm>
#include <cstdio>

#include "emu/Threads.h"
#include "emu_usb.h"
#include "instrument/CommandText.h"
#include "instrument/Misuse.h"
#include "instrument/Packets.h"

namespace emu::usb {

namespace {
constexpr std::string_view kUndefinedHeader = "ERR -113,\"Undefined header\"\n";
constexpr std::string_view kInputOverrun = "ERR -363,\"Input buffer overrun\"\n";
}  // namespace

CommandInstrument::CommandInstrument(CommandInstrumentOptions options)
    : options_(std::move(options)), lines_(options_.maxLineLength)
{
    InstallStandardCommands();
}

CommandInstrument::~CommandInstrument() { Disconnect(); }

void CommandInstrument::InstallStandardCommands()
{
    // These run under mutex_, like every handler.
    table_["*IDN?"] = [this](std::string_view) { return options_.identity + "\n"; };
    table_["*RST"] = [this](std::string_view) -> std::optional<std::string> {
        measurements_ = 0;
        return std::nullopt;
    };
    table_["*CLS"] = [](std::string_view) -> std::optional<std::string> { return std::nullopt; };
    table_["*OPC?"] = [](std::string_view) { return std::string("1\n"); };
    table_["MEAS?"] = [this](std::string_view) { return MeasurementLocked(); };
    table_["READ?"] = [this](std::string_view) { return MeasurementLocked(); };
}

std::string CommandInstrument::MeasurementLocked()
{
    char text[40];
    std::snprintf(text, sizeof text, "%+.6E\n", options_.measurement(measurements_++));
    return text;
}

void CommandInstrument::SetHandler(std::string_view header, Handler handler)
{
    std::lock_guard lock(mutex_);
    table_[CommandHeader(header)] = std::move(handler);
}

void CommandInstrument::SetAnswer(std::string_view header, std::string answer)
{
    SetHandler(header, [answer = std::move(answer)](std::string_view) { return answer; });
}

void CommandInstrument::RemoveCommand(std::string_view header)
{
    std::lock_guard lock(mutex_);
    table_.erase(CommandHeader(header));
}

void CommandInstrument::SetLatency(emu::Time latency)
{
    std::lock_guard lock(mutex_);
    options_.latency = latency;
}

std::vector<std::string> CommandInstrument::ReceivedCommands() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::size_t CommandInstrument::AnswersSent() const
{
    std::lock_guard lock(mutex_);
    return answersSent_;
}

std::size_t CommandInstrument::AnswersWaiting() const
{
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

bool CommandInstrument::IsConnected() const
{
    std::lock_guard lock(mutex_);
    return port_ != nullptr;
}

void CommandInstrument::Connect(BulkPort& port)
{
    {
        std::lock_guard lock(mutex_);
        if (port_) {
            ReportInstrumentMisuse("Connect on a command instrument that is already plugged in");
            return;
        }
        port_ = &port;
        measurements_ = 0;
        link_.Open(port);
        timers_.Open(port.clock());
    }
    emu::NotifyStateChanged();
}

void CommandInstrument::Disconnect()
{
    {
        std::lock_guard lock(mutex_);
        if (!port_) return;
        port_ = nullptr;
        waiting_.clear();
        lines_.Reset();
    }
    // Without mutex_: a timer callback or a delivery in progress may need it
    // before it can finish.
    timers_.Close();
    link_.Close();
    emu::NotifyStateChanged();
}

std::int32_t CommandInstrument::OnBulkOut(std::span<const std::uint8_t> data)
{
    {
        std::lock_guard lock(mutex_);
        if (!port_) {
            ReportInstrumentMisuse("an OUT transfer reached a command instrument that is unplugged");
            return USBD_STATUS_DEVICE_GONE;
        }
        for (const auto& line : lines_.Feed(data)) {
            auto command = line.overrun ? std::string_view(line.text) : TrimBlanks(line.text);
            if (command.empty()) continue;
            received_.emplace_back(command);
            if (auto answer = AnswerLocked(line)) QueueAnswerLocked(std::move(*answer));
        }
    }
    link_.Flush();
    emu::NotifyStateChanged();
    return USBD_STATUS_SUCCESS;
}

std::optional<std::string> CommandInstrument::AnswerLocked(const LineAssembler::Line& line)
{
    if (line.overrun) return std::string(kInputOverrun);
    auto command = TrimBlanks(line.text);
    auto handler = table_.find(CommandHeader(command));
    if (handler == table_.end()) return std::string(kUndefinedHeader);
    return handler->second(command);
}

void CommandInstrument::QueueAnswerLocked(std::string answer)
{
    if (options_.lineEnd != "\n" && answer.ends_with('\n')) answer.replace(answer.size() - 1, 1, options_.lineEnd);
    emu::Time now = port_->clock().Now();
    if (options_.latency <= 0 && waiting_.empty()) {
        SendAnswerLocked(answer);
        return;
    }
    // Never before an answer queued earlier, even if the latency has shrunk.
    emu::Time due = now + std::max<emu::Time>(options_.latency, 0);
    if (!waiting_.empty()) due = std::max(due, waiting_.back().due);
    waiting_.push_back(PendingAnswer{due, std::move(answer)});
    timers_.At(due, [this] {
        {
            std::lock_guard lock(mutex_);
            if (!port_) return;
            PostDueAnswersLocked(port_->clock().Now());
        }
        link_.Flush();
        emu::NotifyStateChanged();
    });
}

void CommandInstrument::PostDueAnswersLocked(emu::Time now)
{
    while (!waiting_.empty() && waiting_.front().due <= now) {
        SendAnswerLocked(waiting_.front().bytes);
        waiting_.pop_front();
    }
}

void CommandInstrument::SendAnswerLocked(const std::string& answer)
{
    if (link_.Post(CutMessage(answer, link_.PacketSize()))) ++answersSent_;
}

}  // namespace emu::usb
