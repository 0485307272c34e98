#include "ChildProcess.h"

#include "process/ChildRun.h"

namespace tesmo::capi_test {

void ChildReport::Expect(bool holds, const std::string& what)
{
    if (holds) return;
    failed_ = true;
    process::WriteAllTo(fd_, what + "\n");
}

ChildOutcome RunInChild(const std::function<void(ChildReport&)>& body, std::chrono::seconds deadline)
{
    process::ChildRun run = process::RunInChildProcess(
        [&body](int fd) {
            ChildReport report(fd);
            body(report);
            return report.failed() ? 1 : 0;
        },
        deadline);
    ChildOutcome outcome;
    outcome.hung = run.hung;
    outcome.exitCode = run.exitCode;
    outcome.signal = run.signal;
    outcome.report = run.output;
    return outcome;
}

}  // namespace tesmo::capi_test
