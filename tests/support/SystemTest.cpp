#include "SystemTest.h"

namespace tesmo::test {

emu::SystemOptions TestSystemOptions()
{
    emu::SystemOptions options;
    // Collect; the fixture reports at teardown with the full description.
    options.violationHandler = [](const emu::Violation&) {};
    options.watchdog = std::chrono::seconds(30);
    return options;
}

void ExpectNoViolations(emu::Verifier& verifier)
{
    for (const auto& violation : verifier.Violations()) ADD_FAILURE() << emu::Describe(violation);
    verifier.Clear();
}

void SystemTest::SetUp()
{
    emu::SetThreadName("test");
    system_ = std::make_unique<emu::System>(TestSystemOptions());
}

void SystemTest::ShutDown()
{
    if (!system_) return;
    system_->Shutdown();
    ExpectNoViolations(system_->verifier());
    system_.reset();
}

void SystemTest::TearDown() { ShutDown(); }

}  // namespace tesmo::test
