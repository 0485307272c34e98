// Small RAII and I/O helpers for file descriptors, shared by the bridges.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

namespace tesmo::sim {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int Release();
    void Reset(int fd = -1);

private:
    int fd_ = -1;
};

// A pipe that wakes a poll loop from another thread.
class WakePipe {
public:
    WakePipe();
    int readFd() const { return read_.get(); }
    void Wake();
    void Drain();

private:
    UniqueFd read_, write_;
};

// Writes everything to a non-blocking fd, waiting for room, unless `stop`
// becomes true or the fd fails first; false then.
bool WriteAll(int fd, std::span<const std::uint8_t> bytes, const std::atomic<bool>& stop);

// The same for a connected socket, without SIGPIPE: a peer that has gone
// (EPIPE, ECONNRESET) makes it return false like any other failure.
bool SendAll(int socket, std::span<const std::uint8_t> bytes, const std::atomic<bool>& stop);

}  // namespace tesmo::sim
