// Collects the bytes of OUT transfers into command lines, the way an
// instrument's input parser does: a line may arrive over any number of
// transfers and one transfer may hold several lines.
//
// A line ends at LF or CR, so "\r\n" ends one line (the empty line between
// the two is dropped, as are empty lines generally). A line longer than the
// limit overruns the input buffer: its bytes are dropped and, when its end
// arrives, it is reported once as overrun with what fitted.
//
// Not thread-safe: the owning instrument calls it under its own lock.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace emu::usb {

class LineAssembler {
public:
    struct Line {
        std::string text;  // without its terminator
        bool overrun = false;
    };

    explicit LineAssembler(std::size_t maxLineLength = 4096) : maxLineLength_(maxLineLength) {}

    // The lines that the bytes complete, in order.
    std::vector<Line> Feed(std::span<const std::uint8_t> bytes);
    // Forgets the unfinished line (the instrument lost power).
    void Reset();
    // Bytes of the unfinished line held so far.
    std::size_t PendingBytes() const { return partial_.size(); }

private:
    std::size_t maxLineLength_;
    std::string partial_;
    bool overrun_ = false;
};

}  // namespace emu::usb
