#include "link/PortReader.h"

#include <chrono>
#include <vector>

#include "tesmo/control.h"

namespace tesmo::sim {

PortReader::PortReader(ComPort& port, std::int32_t device, BytesHandler onBytes, GoneHandler onGone)
    : port_(port), device_(device), onBytes_(std::move(onBytes)), onGone_(std::move(onGone))
{
    thread_ = std::thread([this] { Run(); });
}

PortReader::~PortReader() { Stop(); }

void PortReader::Stop()
{
    stopping_ = true;
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool PortReader::DeviceUnplugged() const
{
    std::uint32_t state = 0;
    return tesmo_device_state(device_, &state) != TESMO_OK || (state & TESMO_DEVICE_UNPLUGGED) != 0;
}

void PortReader::Run()
{
    std::vector<std::uint8_t> buffer(4096);
    while (!stopping_) {
        auto got = port_.SetReadLimit(kReadSlice) ? port_.Read(buffer) : std::nullopt;
        if (got) {
            if (*got != 0) onBytes_(std::span(buffer.data(), *got));
            continue;
        }
        if (DeviceUnplugged()) {
            if (!stopping_) onGone_();
            return;
        }
        // Asleep or stopped for a moment: the next read may work again.
        std::this_thread::sleep_for(std::chrono::milliseconds(kReadSlice));
    }
}

}  // namespace tesmo::sim
