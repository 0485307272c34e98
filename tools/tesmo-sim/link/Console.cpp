#include "link/Console.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace tesmo::sim {

namespace {

sigset_t StopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

}  // namespace

void BlockStopSignals()
{
    sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

UniqueFd OpenStopSignalFd()
{
    sigset_t signals = StopSignals();
    return UniqueFd(::signalfd(-1, &signals, SFD_CLOEXEC));
}

bool MayReadInput()
{
    if (!::isatty(STDIN_FILENO)) return true;
    return ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
}

void RunConsole(const std::function<void(const std::string&)>& onLine, bool readInput)
{
    // How often a command in the background looks whether it has come to
    // the foreground.
    constexpr int kForegroundCheckMs = 500;
    UniqueFd signalFd = OpenStopSignalFd();
    std::signal(SIGTTIN, SIG_IGN);
    bool reading = readInput;
    std::string pending;
    for (;;) {
        bool foreground = reading && MayReadInput();
        pollfd fds[2] = {{signalFd.get(), POLLIN, 0}, {foreground ? STDIN_FILENO : -1, POLLIN, 0}};
        if (::poll(fds, 2, reading && !foreground ? kForegroundCheckMs : -1) < 0) continue;
        if (fds[0].revents & POLLIN) return;
        if (fds[1].revents & POLLNVAL) {  // no standard input at all
            reading = false;
            continue;
        }
        if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char bytes[512];
        ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
        // EIO: sent to the background between the look and the read (the
        // signal that would stop the process is ignored); read again later.
        if (got < 0 && (errno == EIO || errno == EINTR)) continue;
        if (got <= 0) {
            reading = false;
            continue;
        }
        pending.append(bytes, static_cast<std::size_t>(got));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line == "quit" || line == "exit") return;
            onLine(line);
        }
    }
}

}  // namespace tesmo::sim
