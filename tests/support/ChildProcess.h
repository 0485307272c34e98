// Runs a piece of an application in a child process, so that a crash or a
// hang of the library is observed by the test instead of taking the test
// down with it. The child ends with exit(), so the library's exit path runs
// there too; what it reports comes back through a pipe, whose end of file
// also says that the child has gone.
#pragma once

#include <chrono>
#include <functional>
#include <sstream>
#include <string>

namespace tesmo::capi_test {

// The child's side: expectations that fail are written back to the test.
class ChildReport {
public:
    explicit ChildReport(int fd) : fd_(fd) {}

    void Expect(bool holds, const std::string& what);
    template <typename Got, typename Want>
    void ExpectEq(const Got& got, const Want& want, const std::string& what)
    {
        if (got == want) return;
        std::ostringstream text;
        text << what << ": got " << got << ", want " << want;
        Expect(false, text.str());
    }
    bool failed() const { return failed_; }

private:
    int fd_;
    bool failed_ = false;
};

struct ChildOutcome {
    bool hung = false;    // still running at the deadline (then killed)
    int exitCode = -1;    // when it exited
    int signal = 0;       // when a signal ended it
    std::string report;   // the failed expectations, one per line
};

// Forks, runs `body` in the child and ends it with exit(0), or exit(1) when
// an expectation failed. Waits for the child at most `deadline`.
ChildOutcome RunInChild(const std::function<void(ChildReport&)>& body, std::chrono::seconds deadline);

}  // namespace tesmo::capi_test
