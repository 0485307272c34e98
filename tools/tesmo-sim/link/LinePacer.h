// --pace: the bytes of one direction of a bridged port go no faster than
// the serial line the port is set to would carry them (9600 8N1: 960 bytes
// a second), so that a client's time-outs and its handling of a slow or
// overrun line can be tried on the emulated port, whose USB transfers would
// otherwise bring any amount at once.
//
// One thread passes bytes through a pacer; the settings may change from
// another.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>

#include "link/LineSettings.h"

namespace tesmo::sim {

class LinePacer {
public:
    void SetLine(const LineSettings& settings);
    // Returns when `bytes` more characters would have left the line, which
    // was busy with the ones before until then.
    void Pass(std::size_t bytes);

    // Hands `bytes` to `deliver` in pieces of about kPiece of the line's
    // time, each once the line would have carried it; at once, whole,
    // without a pacer.
    static void Deliver(LinePacer* pacer, std::span<const std::uint8_t> bytes,
                        const std::function<void(std::span<const std::uint8_t>)>& deliver);
    static constexpr std::chrono::milliseconds kPiece{10};

private:
    std::size_t PieceSize();

    using Clock = std::chrono::steady_clock;
    std::mutex mutex_;
    LineSettings settings_;
    Clock::time_point lineFreeAt_{};
};

}  // namespace tesmo::sim
