#include "instrument/LineAssembler.h"

namespace emu::usb {

std::vector<LineAssembler::Line> LineAssembler::Feed(std::span<const std::uint8_t> bytes)
{
    std::vector<Line> lines;
    for (std::uint8_t byte : bytes) {
        if (byte == '\n' || byte == '\r') {
            if (!partial_.empty() || overrun_) lines.push_back(Line{std::move(partial_), overrun_});
            partial_.clear();
            overrun_ = false;
        } else if (partial_.size() < maxLineLength_) {
            partial_.push_back(static_cast<char>(byte));
        } else {
            overrun_ = true;
        }
    }
    return lines;
}

void LineAssembler::Reset()
{
    partial_.clear();
    overrun_ = false;
}

}  // namespace emu::usb
