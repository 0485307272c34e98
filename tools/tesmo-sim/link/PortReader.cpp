#include "link/PortReader.h"

#include <chrono>
#include <vector>

#include "tesmo/control.h"

namespace tesmo::sim {

PortReader::PortReader(ComPort& port, std::int32_t device, BytesHandler onBytes, GoneHandler onGone)
    : port_(port), device_(device), onBytes_(std::move(onBytes)), onGone_(std::move(onGone))
{
    thread_ = std::thread([this] { Run(); });
    deliverer_ = std::thread([this] { Deliver(); });
}

PortReader::~PortReader() { Stop(); }

void PortReader::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    for (std::thread* thread : {&thread_, &deliverer_}) {
        if (thread->joinable() && thread->get_id() != std::this_thread::get_id()) thread->join();
    }
}

void PortReader::Hand(std::vector<std::uint8_t> bytes)
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopping_ || queued_ < kMostQueued; });
    queued_ += bytes.size();
    queue_.push_back(std::move(bytes));
    changed_.notify_all();
}

void PortReader::Finish(bool gone)
{
    std::lock_guard lock(mutex_);
    finished_ = true;
    gone_ = gone;
    changed_.notify_all();
}

void PortReader::Deliver()
{
    for (;;) {
        std::vector<std::uint8_t> bytes;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || finished_ || !queue_.empty(); });
            if (stopping_) return;
            if (queue_.empty()) {
                lock.unlock();
                if (gone_) onGone_();
                return;
            }
            bytes = std::move(queue_.front());
            queue_.pop_front();
            queued_ -= bytes.size();
            changed_.notify_all();
        }
        onBytes_(bytes);
    }
}

bool PortReader::DeviceUnplugged() const
{
    std::uint32_t state = 0;
    return tesmo_device_state(device_, &state) != TESMO_OK || (state & TESMO_DEVICE_UNPLUGGED) != 0;
}

void PortReader::Run()
{
    while (!stopping_) {
        std::vector<std::uint8_t> buffer(kReadSize);
        auto got = port_.SetReadLimit(kReadSlice) ? port_.Read(buffer) : std::nullopt;
        if (got) {
            buffer.resize(*got);
            if (*got != 0) Hand(std::move(buffer));
            continue;
        }
        if (DeviceUnplugged()) {
            Finish(true);
            return;
        }
        // Asleep or stopped for a moment: the next read may work again.
        std::this_thread::sleep_for(std::chrono::milliseconds(kReadSlice));
    }
    Finish(false);
}

}  // namespace tesmo::sim
