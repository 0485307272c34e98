#include "term/RawTerminal.h"

#include <unistd.h>

namespace tesmo::sim {

RawTerminal::RawTerminal(int fd) : fd_(fd)
{
    if (!::isatty(fd_) || ::tcgetattr(fd_, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = ::tcsetattr(fd_, TCSANOW, &raw) == 0;
}

RawTerminal::~RawTerminal()
{
    if (active_) ::tcsetattr(fd_, TCSANOW, &saved_);
}

}  // namespace tesmo::sim
