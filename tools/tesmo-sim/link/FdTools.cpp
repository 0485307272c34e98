#include "link/FdTools.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tesmo::sim {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other) Reset(other.Release());
    return *this;
}

int UniqueFd::Release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::Reset(int fd)
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

WakePipe::WakePipe()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        read_.Reset(fds[0]);
        write_.Reset(fds[1]);
    }
}

void WakePipe::Wake()
{
    char byte = 1;
    [[maybe_unused]] auto ignored = ::write(write_.get(), &byte, 1);
}

void WakePipe::Drain()
{
    char bytes[64];
    while (::read(read_.get(), bytes, sizeof bytes) > 0) {}
}

namespace {

template <typename Put>
bool PutAll(int fd, std::span<const std::uint8_t> bytes, const std::atomic<bool>& stop, Put put)
{
    while (!bytes.empty()) {
        if (stop) return false;
        ssize_t done = put(fd, bytes);
        if (done > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(done));
            continue;
        }
        if (done < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd room{fd, POLLOUT, 0};
        ::poll(&room, 1, 100);  // wakes now and then to see `stop`
    }
    return true;
}

}  // namespace

bool WriteAll(int fd, std::span<const std::uint8_t> bytes, const std::atomic<bool>& stop)
{
    return PutAll(fd, bytes, stop,
                  [](int to, std::span<const std::uint8_t> rest) { return ::write(to, rest.data(), rest.size()); });
}

bool SendAll(int socket, std::span<const std::uint8_t> bytes, const std::atomic<bool>& stop)
{
    return PutAll(socket, bytes, stop, [](int to, std::span<const std::uint8_t> rest) {
        return ::send(to, rest.data(), rest.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    });
}

}  // namespace tesmo::sim
