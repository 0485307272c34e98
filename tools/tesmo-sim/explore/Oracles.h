// What must hold for the bytes an application reads, whatever happened to
// the port meanwhile.
//
// StreamOracle: the streaming source sends a counter (each aligned group of
// four bytes is its group number, little-endian). Bytes delivered on one
// handle continue the stream exactly; after a purge or on a new handle the
// position is found again from the bytes themselves, and may only move
// forward: nothing is ever delivered twice or out of order.
//
// AnswerOracle: every command the instrument took gets one answer line, in
// order; no line comes that nobody asked for, and none is cut or mixed.
//
// LoopbackOracle: what the application wrote to a looped-back port (the
// counter, from its first byte on) comes back in order, each byte once, in
// packets of the port's size cut from each write. Bytes may be missing only
// when their write failed (it may not have gone out, or only part of it) or
// a purge of the receive side may have dropped them, and what follows such
// a gap begins a packet; every other byte written comes back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <set>
#include <vector>

namespace tesmo::explore {

class StreamOracle {
public:
    // The bytes of one successful read, in order. Returns a complaint or "".
    std::string Delivered(const std::uint8_t* bytes, std::size_t count);
    // The waiting bytes may have been dropped: the next bytes may skip ahead.
    void Skipped();
    std::uint64_t position() const { return next_.value_or(0); }

private:
    static std::uint8_t At(std::uint64_t position);
    std::optional<std::uint64_t> Locate(const std::vector<std::uint8_t>& bytes) const;

    std::optional<std::uint64_t> next_ = 0;  // unset: to be found again
    std::uint64_t floor_ = 0;                // the position cannot go below this
    std::vector<std::uint8_t> unplaced_;     // bytes read while the position is unknown
};

class AnswerOracle {
public:
    explicit AnswerOracle(std::string answer) : answer_(std::move(answer)) {}
    void Asked() { ++outstanding_; }
    // A write whose outcome is unknown (failed after the instrument may have
    // taken it): its answer may come or not.
    void MaybeAsked() { ++maybe_; }
    std::string Delivered(const std::uint8_t* bytes, std::size_t count);
    // The waiting bytes may have been dropped (purge): a cut line may follow.
    void Skipped()
    {
        partial_.clear();
        skipped_ = true;
    }
    // A byte of its own choosing went to the instrument between commands (a
    // fuzzed immediate character): from now on an error line may stand in
    // for an answer, or come unasked.
    void ForeignBytesSent() { foreignBytes_ = true; }
    unsigned outstanding() const { return outstanding_; }

private:
    std::string answer_;
    std::string partial_;
    unsigned outstanding_ = 0;
    unsigned maybe_ = 0;
    bool skipped_ = false;
    bool foreignBytes_ = false;
};

class LoopbackOracle {
public:
    explicit LoopbackOracle(std::uint32_t packetSize) : packetSize_(packetSize) {}
    // The counter's next `count` bytes were written; `whole`: all of them
    // went out (a failed write's bytes may come back or not).
    void Wrote(std::uint64_t count, bool whole);
    // The receive side was purged: what was written so far may be gone.
    void Purged() { droppableBelow_ = written_; }
    // The bytes of one successful read, in order. Returns a complaint or "".
    std::string Delivered(const std::uint8_t* bytes, std::size_t count);
    // Bytes written whole that have not come back and no purge may have
    // dropped: they must still come.
    std::uint64_t Owed() const;
    std::uint64_t written() const { return written_; }

private:
    bool Droppable(std::uint64_t position) const;
    std::string ShowCounter(std::uint64_t position, std::size_t count) const;

    std::uint32_t packetSize_;
    std::uint64_t written_ = 0;
    std::set<std::uint64_t> packetStarts_;  // where the instrument began a packet
    // Where the next byte may lie: a short read (one byte) may fit more than
    // one place, and only later reads tell which; every place that fits so
    // far is kept.
    std::set<std::uint64_t> next_{0};
    std::uint64_t droppableBelow_ = 0;                                // a purge may have dropped what lies below
    std::vector<std::pair<std::uint64_t, std::uint64_t>> uncertain_;  // [from, to) of failed writes
};

// The counter's byte at `position`: each aligned group of four bytes holds
// its group number, little-endian.
std::uint8_t CounterByte(std::uint64_t position);

}  // namespace tesmo::explore
