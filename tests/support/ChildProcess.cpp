#include "ChildProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace tesmo::capi_test {

void ChildReport::Expect(bool holds, const std::string& what)
{
    if (holds) return;
    failed_ = true;
    std::string line = what + "\n";
    for (std::size_t written = 0; written < line.size();) {
        ssize_t n = write(fd_, line.data() + written, line.size() - written);
        if (n <= 0) return;
        written += static_cast<std::size_t>(n);
    }
}

namespace {

// Reads the child's report until its end of the pipe closes, which happens
// only when the whole process has gone; false when the deadline came first.
bool ReadUntilGone(int fd, std::chrono::steady_clock::time_point deadline, std::string* report)
{
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd wanted{fd, POLLIN, 0};
        int ready = poll(&wanted, 1, static_cast<int>(left.count()));
        if (ready == 0) return false;
        if (ready < 0) continue;  // interrupted
        char chunk[512];
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got == 0) return true;
        if (got > 0) report->append(chunk, static_cast<std::size_t>(got));
    }
}

}  // namespace

ChildOutcome RunInChild(const std::function<void(ChildReport&)>& body, std::chrono::seconds deadline)
{
    ChildOutcome outcome;
    int fds[2];
    if (pipe(fds) != 0) {
        outcome.report = "pipe failed";
        return outcome;
    }
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        ChildReport report(fds[1]);
        body(report);
        std::exit(report.failed() ? 1 : 0);
    }
    close(fds[1]);
    if (child < 0) {
        close(fds[0]);
        outcome.report = "fork failed";
        return outcome;
    }
    outcome.hung = !ReadUntilGone(fds[0], std::chrono::steady_clock::now() + deadline, &outcome.report);
    close(fds[0]);
    if (outcome.hung) kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
    return outcome;
}

}  // namespace tesmo::capi_test
