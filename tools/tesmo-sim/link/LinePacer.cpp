#include "link/LinePacer.h"

#include <algorithm>
#include <cstdint>
#include <thread>

namespace tesmo::sim {

void LinePacer::SetLine(const LineSettings& settings)
{
    std::lock_guard lock(mutex_);
    settings_ = settings;
}

void LinePacer::Pass(std::size_t bytes)
{
    Clock::time_point until;
    {
        std::lock_guard lock(mutex_);
        lineFreeAt_ = std::max(lineFreeAt_, Clock::now()) + LineTime(settings_, bytes);
        until = lineFreeAt_;
    }
    std::this_thread::sleep_until(until);
}

std::size_t LinePacer::PieceSize()
{
    std::lock_guard lock(mutex_);
    auto perByte = LineTime(settings_, 1);
    if (perByte.count() == 0) return SIZE_MAX;
    return std::max<std::size_t>(1, static_cast<std::size_t>(std::chrono::nanoseconds(kPiece) / perByte));
}

void LinePacer::Deliver(LinePacer* pacer, std::span<const std::uint8_t> bytes,
                        const std::function<void(std::span<const std::uint8_t>)>& deliver)
{
    if (!pacer) {
        deliver(bytes);
        return;
    }
    std::size_t piece = pacer->PieceSize();
    while (!bytes.empty()) {
        std::span<const std::uint8_t> next = bytes.first(std::min(piece, bytes.size()));
        pacer->Pass(next.size());
        deliver(next);
        bytes = bytes.subspan(next.size());
    }
}

}  // namespace tesmo::sim
