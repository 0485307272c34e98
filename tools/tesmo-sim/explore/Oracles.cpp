#include "Oracles.h"

namespace tesmo::explore {

namespace {

// Enough bytes to pin a position down: two aligned groups whatever the phase.
constexpr std::size_t kBytesToLocate = 11;

}  // namespace

std::uint8_t StreamOracle::At(std::uint64_t position)
{
    std::uint64_t group = position / 4;
    return static_cast<std::uint8_t>(group >> (8 * (position % 4)));
}

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

}  // namespace tesmo::explore
