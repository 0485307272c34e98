// Standard input's terminal without the kernel's line editing and echo
// while the terminal session runs, so that LineEditor sees every key. The
// interrupt keys still raise their signals (Ctrl-C ends the session the
// usual way). The terminal's mode comes back on destruction.
#pragma once

#include <termios.h>

namespace tesmo::sim {

class RawTerminal {
public:
    explicit RawTerminal(int fd);
    ~RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

    // False when the fd is not a terminal or refused the change.
    bool active() const { return active_; }

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

}  // namespace tesmo::sim
