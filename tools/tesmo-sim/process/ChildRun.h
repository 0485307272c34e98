// Runs a piece of work in a child process, so that a crash or a hang of it
// is observed instead of suffered: the child writes what it has to say to a
// pipe, whose end of file also says that the whole child has gone; a child
// still running at the deadline is killed and counts as hung. Used by the
// explorer (one scenario per child) and by the tests of the C ABI (one
// application's mistake per child).
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace tesmo::process {

struct ChildRun {
    bool started = false;  // false: no pipe or no fork (output says which)
    bool hung = false;     // still running at the deadline, then killed
    int exitCode = -1;     // when it exited
    int signal = 0;        // when a signal ended it
    std::string output;    // what it wrote to its end of the pipe
};

// How the child ends once `body` returns its exit code: with exit() (the
// process's exit handlers run, as an application's do), or with _exit().
enum class ChildExit { RunExitHandlers, Immediately };

// Forks; the child runs `body` with the write end of the pipe and ends as
// `ending` says with the code it returns. The parent waits at most
// `deadline` for the pipe's end of file, then for the child.
ChildRun RunInChildProcess(const std::function<int(int writeFd)>& body, std::chrono::milliseconds deadline,
                           ChildExit ending = ChildExit::RunExitHandlers);

// Writes all of `text` to `fd` (a child's report), as far as the pipe takes it.
void WriteAllTo(int fd, const std::string& text);

}  // namespace tesmo::process
