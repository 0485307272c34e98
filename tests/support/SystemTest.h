// The fixture every test of the emulated system starts from: one fresh
// emulated system per test, violations collected instead of aborting, and a
// teardown that fails the test for any violation it did not take, any pool
// block left behind and any IRP never released.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "emu/System.h"
#include "emu/Threads.h"

namespace tesmo::test {

emu::SystemOptions TestSystemOptions();

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    emu::System& sys() { return *system_; }
    // Removes and returns the violations of one rule that the test provoked.
    std::vector<emu::Violation> TakeViolations(emu::Rule rule) { return sys().verifier().Take(rule); }
    // Shuts the system down inside the test (driver unload, leak report).
    void ShutDown();

private:
    std::unique_ptr<emu::System> system_;
};

// Fails the current test for every violation still recorded.
void ExpectNoViolations(emu::Verifier& verifier);

}  // namespace tesmo::test
