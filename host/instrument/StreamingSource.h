// A source that sends a steady stream of bytes on the bulk IN pipe, following
// a StreamPattern so that a reader can check every byte (the byte at stream
// position p is pattern.At(p), counted from the first byte ever sent).
//
// Two ways to pace it:
// - at a rate (bytes per emulated second): a clock timer ticks, by default
//   once per full packet's worth of time, and pushes what the rate allows up
//   to that moment. Normally only full packets leave and the rest waits for
//   the next tick; with sendPartialPackets the rest leaves as a short packet,
//   which ends the host's transfer at every tick. After t seconds of running
//   the source has produced floor(rate * t / packet) packets (or, sending
//   partial packets, floor(rate * t) bytes as of the last tick).
// - as fast as asked (rate 0): whenever the bus reports a waiting IN transfer
//   with nothing queued (OnInWanted), it pushes a burst of full packets; it
//   pushes one burst on starting too, for a transfer that was already waiting.
//
// Start and stop with the API or with the OUT command lines START and STOP
// (case-insensitive; other lines are logged and otherwise ignored). Stopping
// and starting again continues the pattern where it stopped; the rate is
// counted afresh from each start (or from plugging in while started).
//
// Thread-safe: the bus thread, clock timers and the test thread may call in
// at the same time. After Stop returns nothing more is produced (packets
// produced just before may still be on their way to the bus); after
// Disconnect returns nothing more reaches the bus.
//
// Locking: one mutex per instrument, never held while calling the bus (see
// PortLink); the instrument calls no kernel routine, so the bus may call in at
// any IRQL. Disconnect waits for a push or a timer callback in progress on
// another thread, so the bus must not call it holding a lock that its PushIn
// takes. Unplug (or destroy) the instrument before its emulated system goes:
// unplugging takes its timers off that system's clock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "emu/Clock.h"
#include "usb/Instrument.h"
#include "instrument/LineAssembler.h"
#include "instrument/PortLink.h"
#include "instrument/StreamPattern.h"
#include "instrument/TimerSet.h"

namespace emu::usb {

struct StreamingSourceOptions {
    StreamPattern pattern = StreamPattern::Counter();
    // 0: as fast as asked.
    std::uint64_t bytesPerSecond = 0;
    // Rate mode: time between ticks; 0 for the time one full packet takes.
    emu::Time tick = 0;
    // Rate mode: at each tick send the bytes owed even if they do not fill a packet.
    bool sendPartialPackets = false;
    // As-fast-as-asked mode: full packets pushed per OnInWanted.
    std::size_t burstPackets = 4;
    // Whether the source runs from the start or waits for START.
    bool running = false;
};

class StreamingSource final : public Instrument {
public:
    explicit StreamingSource(StreamingSourceOptions options = {});
    ~StreamingSource() override;  // unplugs if still plugged in
    StreamingSource(const StreamingSource&) = delete;
    StreamingSource& operator=(const StreamingSource&) = delete;

    void Start();
    void Stop();
    bool IsRunning() const;
    // Bytes handed to the bus since construction: the stream position of the next byte.
    std::uint64_t BytesProduced() const;
    // OUT command lines received, in order.
    std::vector<std::string> ReceivedCommands() const;
    const StreamPattern& pattern() const { return options_.pattern; }

    // ---- Instrument ----
    void Connect(BulkPort& port) override;
    void Disconnect() override;
    std::int32_t OnBulkOut(std::span<const std::uint8_t> data) override;
    void OnInWanted() override;
    std::size_t FillInDirect(std::span<std::uint8_t> room) override;

private:
    bool RateMode() const { return options_.bytesPerSecond != 0; }
    // Starts the tick sequence at the current time (running and plugged in).
    void BeginTicksLocked();
    void ScheduleNextTickLocked();
    void OnTick(std::uint64_t epoch);
    void StartLocked();
    void StopLocked();
    // Hands `count` pattern bytes to the link (only whole packets if asked).
    void ProduceLocked(std::uint64_t count, bool wholePacketsOnly);
    // Bytes the rate allows from the beginning of the ticks up to `now`.
    std::uint64_t AllowedSinceBeginLocked(emu::Time now) const;

    StreamingSourceOptions options_;
    mutable std::mutex mutex_;
    BulkPort* port_ = nullptr;
    bool running_ = false;
    std::uint64_t produced_ = 0;
    // Rate mode: the tick sequence in force.
    std::uint64_t epoch_ = 0;  // bumped on every begin, so stale ticks do nothing
    emu::Time ticksBegan_ = 0;
    std::uint64_t producedAtBegin_ = 0;
    std::uint64_t ticksDone_ = 0;
    emu::Time tickInterval_ = 0;
    LineAssembler lines_;
    std::vector<std::string> received_;
    PortLink link_;
    TimerSet timers_;
};

}  // namespace emu::usb
