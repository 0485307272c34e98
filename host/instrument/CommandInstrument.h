// The standard instrument: it takes command lines on the bulk OUT pipe and
// answers queries with text lines on the bulk IN pipe.
//
// Commands end with LF or CR (see LineAssembler) and may be split across OUT
// transfers or packed several to a transfer; they are answered one by one in
// the order received. A command is looked up by its header (the text up to
// the first blank, case-insensitive) in the answers table:
//   *IDN?          the identification line (configurable)
//   *RST           no answer; restarts the measurement sequence
//   *CLS           no answer
//   *OPC?          "1\n"
//   MEAS?, READ?   the next measurement as a value line ("+1.000000E+00\n")
//   anything else  ERR -113,"Undefined header"
// A line longer than the input buffer is answered with ERR -363,"Input buffer
// overrun". Tests add or replace commands with SetAnswer/SetHandler.
//
// Each answer is cut into packets of the IN pipe's packet size with a short
// (possibly zero-length) last packet, and pushed after the configured latency
// on the emulated clock (at once when the latency is 0). Answers never
// overtake each other, also when the latency is changed in between.
//
// Unplugging drops the unfinished command line and the answers still waiting
// for their latency, as a device that loses power would; the log of received
// commands stays.
//
// Thread-safe: the bus thread, clock timers and the test thread may call in
// at the same time. Handlers run under the instrument's lock, on the bus
// thread (or the thread that calls OnBulkOut), and must not call back into
// the instrument.
//
// Locking: one mutex per instrument, never held while calling the bus (see
// PortLink); the instrument calls no kernel routine, so the bus may call in at
// any IRQL. Disconnect waits for a push or a timer callback in progress on
// another thread, so the bus must not call it holding a lock that its PushIn
// takes. Unplug (or destroy) the instrument before its emulated system goes:
// unplugging takes its timers off that system's clock.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emu/Clock.h"
#include "usb/Instrument.h"
#include "instrument/LineAssembler.h"
#include "instrument/PortLink.h"
#include "instrument/TimerSet.h"

namespace emu::usb {

struct CommandInstrumentOptions {
    // Answer to *IDN?, without the line end.
    std::string identity = "TESMO,Model 7,SN 000123,FW 1.5";
    // From the end of a command to the first packet of its answer.
    emu::Time latency = 0;
    // The input buffer: the longest command line taken whole.
    std::size_t maxLineLength = 4096;
    // What ends each answer in place of the "\n" the answers table has.
    std::string lineEnd = "\n";
    // The n-th measurement since connection or *RST (n from 0).
    std::function<double(std::uint64_t n)> measurement = [](std::uint64_t n) { return 1.0 + 0.001 * double(n); };
};

class CommandInstrument final : public Instrument {
public:
    // Gets the command line (without its terminator, blanks trimmed); returns
    // the exact bytes of the answer (with its line end), or nothing for a
    // command without answer.
    using Handler = std::function<std::optional<std::string>(std::string_view command)>;

    explicit CommandInstrument(CommandInstrumentOptions options = {});
    ~CommandInstrument() override;  // unplugs if still plugged in
    CommandInstrument(const CommandInstrument&) = delete;
    CommandInstrument& operator=(const CommandInstrument&) = delete;

    // ---- the answers table ----
    void SetHandler(std::string_view header, Handler handler);
    void SetAnswer(std::string_view header, std::string answer);
    void RemoveCommand(std::string_view header);
    void SetLatency(emu::Time latency);

    // ---- what happened ----
    // Every command line received, in order (overrun lines as far as they fitted).
    std::vector<std::string> ReceivedCommands() const;
    // Answers handed to the bus (all their packets pushed).
    std::size_t AnswersSent() const;
    // Answers waiting for their latency to pass.
    std::size_t AnswersWaiting() const;
    bool IsConnected() const;

    // ---- Instrument ----
    void Connect(BulkPort& port) override;
    void Disconnect() override;
    std::int32_t OnBulkOut(std::span<const std::uint8_t> data) override;

private:
    struct PendingAnswer {
        emu::Time due;
        std::string bytes;
    };

    void InstallStandardCommands();
    std::optional<std::string> AnswerLocked(const LineAssembler::Line& line);
    void QueueAnswerLocked(std::string answer);
    void PostDueAnswersLocked(emu::Time now);
    void SendAnswerLocked(const std::string& answer);
    std::string MeasurementLocked();

    CommandInstrumentOptions options_;
    mutable std::mutex mutex_;
    BulkPort* port_ = nullptr;
    LineAssembler lines_;
    std::map<std::string, Handler> table_;  // by upper-case header
    std::deque<PendingAnswer> waiting_;
    std::vector<std::string> received_;
    std::size_t answersSent_ = 0;
    std::uint64_t measurements_ = 0;
    PortLink link_;
    TimerSet timers_;
};

}  // namespace emu::usb
