#include "SystemTest.h"

#include "DriverGuards.h"

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

SystemTest::SystemTest()
{
    emu::SetThreadName("test");
    DescribeDriverGuards();
    system_ = std::make_unique<emu::System>(TestSystemOptions());
}

// Still within the test: googletest charges a failure here to it.
SystemTest::~SystemTest()
{
    system_->Shutdown();
    ExpectNoViolations(system_->verifier());
}

}  // namespace tesmo::test
