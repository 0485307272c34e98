#include "Oracles.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace tesmo::explore {

namespace {

// Enough bytes to pin a position down: two aligned groups whatever the phase.
constexpr std::size_t kBytesToLocate = 11;

// At most the first sixteen bytes, in hexadecimal, for a complaint.
std::string Show(const std::uint8_t* bytes, std::size_t count)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text = std::to_string(count) + " bytes [";
    for (std::size_t i = 0; i < count && i < 16; ++i) {
        if (i) text += ' ';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text + (count > 16 ? " ...]" : "]");
}

}  // namespace

std::uint8_t CounterByte(std::uint64_t position)
{
    std::uint64_t group = position / 4;
    return static_cast<std::uint8_t>(group >> (8 * (position % 4)));
}

std::uint8_t StreamOracle::At(std::uint64_t position) { return CounterByte(position); }

std::optional<std::uint64_t> StreamOracle::Locate(const std::vector<std::uint8_t>& bytes) const
{
    for (std::size_t offset = 0; offset < 4 && offset + 4 <= bytes.size(); ++offset) {
        std::uint64_t group = bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) |
                              (std::uint64_t(bytes[offset + 3]) << 24);
        if (4 * group < offset) continue;
        std::uint64_t start = 4 * group - offset;
        bool matches = start >= floor_;
        for (std::size_t i = 0; matches && i < bytes.size(); ++i) matches = bytes[i] == At(start + i);
        if (matches) return start;
    }
    return std::nullopt;
}

std::string StreamOracle::Delivered(const std::uint8_t* bytes, std::size_t count)
{
    if (next_) {
        for (std::size_t i = 0; i < count; ++i) {
            if (bytes[i] != At(*next_ + i)) {
                return "stream byte " + std::to_string(*next_ + i) + " is " + std::to_string(bytes[i]) + ", not " +
                       std::to_string(At(*next_ + i)) + ": bytes lost, repeated or reordered";
            }
        }
        *next_ += count;
        floor_ = *next_;
        return "";
    }
    unplaced_.insert(unplaced_.end(), bytes, bytes + count);
    if (unplaced_.size() < kBytesToLocate) return "";
    std::optional<std::uint64_t> start = Locate(unplaced_);
    if (!start) {
        return "after stream byte " + std::to_string(floor_) +
               " the bytes are not a later stretch of the stream: repeated or reordered";
    }
    next_ = *start + unplaced_.size();
    floor_ = *next_;
    unplaced_.clear();
    return "";
}

void StreamOracle::Skipped()
{
    // Bytes too few to locate were still read: wherever they lay, it was at
    // or past the floor, so nothing later may begin before floor + count.
    if (next_) floor_ = *next_;
    else floor_ += unplaced_.size();
    next_.reset();
    unplaced_.clear();
}

std::string AnswerOracle::Delivered(const std::uint8_t* bytes, std::size_t count)
{
    partial_.append(reinterpret_cast<const char*>(bytes), count);
    for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
        std::string line = partial_.substr(0, end);
        partial_.erase(0, end + 1);
        bool cut = skipped_ && answer_.size() >= line.size() &&
                   answer_.compare(answer_.size() - line.size(), line.size(), line) == 0;
        skipped_ = false;
        if (foreignBytes_ && line.rfind("ERR", 0) == 0) {
            if (outstanding_ > 0) --outstanding_;
            continue;
        }
        if (line != answer_ && !cut) return "the answer \"" + line + "\" is cut or mixed";
        if (outstanding_ > 0) {
            --outstanding_;
        } else if (maybe_ > 0) {
            --maybe_;
        } else {
            return "an answer came that nobody asked for: bytes delivered twice";
        }
    }
    return "";
}

void LoopbackOracle::Wrote(std::uint64_t count, bool whole)
{
    if (count == 0) return;
    if (!whole) uncertain_.emplace_back(written_, written_ + count);
    for (std::uint64_t start = written_; start < written_ + count; start += packetSize_) packetStarts_.insert(start);
    written_ += count;
}

std::string LoopbackOracle::ShowCounter(std::uint64_t position, std::size_t count) const
{
    std::vector<std::uint8_t> due;
    for (std::uint64_t at = position; at < written_ && due.size() < count; ++at) due.push_back(CounterByte(at));
    return Show(due.data(), due.size());
}

bool LoopbackOracle::Droppable(std::uint64_t position) const
{
    if (position < droppableBelow_) return true;
    for (const auto& [from, to] : uncertain_) {
        if (position >= from && position < to) return true;
    }
    return false;
}

std::string LoopbackOracle::Delivered(const std::uint8_t* bytes, std::size_t count)
{
    // Byte by byte, every place it may lie: right after the last byte, or,
    // after a stretch that may have been lost, at the start of a packet
    // beyond it. A short read fits many places; the later ones decide.
    constexpr std::size_t kMostPlaces = 64;
    for (std::size_t i = 0; i < count; ++i) {
        std::set<std::uint64_t> after;
        for (std::uint64_t at : next_) {
            if (at < written_ && CounterByte(at) == bytes[i]) after.insert(at + 1);
            if (!Droppable(at)) continue;
            for (auto start = packetStarts_.upper_bound(at); start != packetStarts_.end(); ++start) {
                if (!Droppable(*start - 1)) break;  // the gap would cover a byte that must come
                if (CounterByte(*start) == bytes[i]) after.insert(*start + 1);
            }
        }
        if (after.empty()) {
            std::uint64_t due = *next_.begin();
            std::string complaint = "looped-back byte " + std::to_string(due) + " of " + std::to_string(written_) +
                                    " written: a read brought " + Show(bytes + i, count - i) + " where " +
                                    ShowCounter(due, count - i) + " was due: bytes lost, repeated or reordered";
            // Found again past what was wrong, so that one fault is told once.
            next_ = {due + (count - i)};
            return complaint;
        }
        while (after.size() > kMostPlaces) after.erase(std::prev(after.end()));
        next_ = std::move(after);
    }
    return "";
}

std::uint64_t LoopbackOracle::Owed() const
{
    std::uint64_t least = UINT64_MAX;
    for (std::uint64_t from : next_) {
        std::uint64_t owed = 0;
        for (std::uint64_t at = from; at < written_; ++at) {
            if (!Droppable(at)) ++owed;
        }
        least = std::min(least, owed);
    }
    return least;
}

}  // namespace tesmo::explore
