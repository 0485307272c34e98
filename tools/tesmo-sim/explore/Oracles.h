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
#pragma once

#include <cstdint>
#include <optional>
#include <string>
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
    void Skipped() { partial_.clear(); skipped_ = true; }
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

}  // namespace tesmo::explore
