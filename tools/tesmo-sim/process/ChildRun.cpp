#include "process/ChildRun.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace tesmo::process {

namespace {

// Reads until the pipe's end of file, which comes only when the whole
// child has gone; false when the deadline came first.
bool ReadUntilGone(int fd, std::chrono::steady_clock::time_point deadline, std::string& output)
{
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd wanted{fd, POLLIN, 0};
        int ready = ::poll(&wanted, 1, static_cast<int>(left.count()));
        if (ready == 0) return false;
        if (ready < 0) continue;  // interrupted
        char chunk[4096];
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got == 0) return true;
        if (got > 0) output.append(chunk, static_cast<std::size_t>(got));
    }
}

}  // namespace

void WriteAllTo(int fd, const std::string& text)
{
    for (std::size_t written = 0; written < text.size();) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n <= 0) return;
        written += static_cast<std::size_t>(n);
    }
}

ChildRun RunInChildProcess(const std::function<int(int writeFd)>& body, std::chrono::milliseconds deadline,
                           ChildExit ending)
{
    ChildRun run;
    int fds[2];
    if (::pipe(fds) != 0) {
        run.output = "cannot make a pipe for the child";
        return run;
    }
    std::fflush(nullptr);  // what the parent buffered is not printed twice
    pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        int code = body(fds[1]);
        if (ending == ChildExit::Immediately) ::_exit(code);
        std::exit(code);
    }
    ::close(fds[1]);
    if (child < 0) {
        ::close(fds[0]);
        run.output = "cannot fork the child";
        return run;
    }
    run.started = true;
    run.hung = !ReadUntilGone(fds[0], std::chrono::steady_clock::now() + deadline, run.output);
    ::close(fds[0]);
    if (run.hung) ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    return run;
}

}  // namespace tesmo::process
