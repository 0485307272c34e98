// The bottom rung of every fixture of the emulated system: one fresh system
// per test, created with the fixture, so that the fixture's members (test
// drivers, devices, instruments) may be built from it and are gone before
// it. Violations are collected instead of aborting; when the fixture goes,
// the system is shut down and the test fails for any violation it did not
// take, any pool block left behind and any IRP never released.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "emu/System.h"
#include "emu/Threads.h"

namespace tesmo::test {

emu::SystemOptions TestSystemOptions();

class SystemTest : public ::testing::Test {
protected:
    SystemTest();
    ~SystemTest() override;

    emu::System& sys() { return *system_; }
    // Removes and returns the violations of one rule that the test provoked.
    std::vector<emu::Violation> TakeViolations(emu::Rule rule) { return sys().verifier().Take(rule); }
    // Shuts the system down inside the test, for a test of what the shutdown
    // reports; what the fixture built on the system must be gone by then.
    // The violations stay for TakeViolations.
    void ShutDown() { system_->Shutdown(); }

private:
    std::unique_ptr<emu::System> system_;
};

// Fails the current test for every violation still recorded.
void ExpectNoViolations(emu::Verifier& verifier);

}  // namespace tesmo::test
