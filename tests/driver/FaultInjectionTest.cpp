// Systematic fault injection: a scenario is run once per injection point (the
// first pool allocation fails, then the second, …) in a fresh system each
// time, until a run no longer reaches the point. Every run must end with one
// of the statuses the routine is allowed to report and must leave nothing
// behind.
#include <gtest/gtest.h>

#include <set>

#include "DeviceStack.h"
#include "SystemTest.h"
#include "Usb.h"
#include "instrument/CommandInstrument.h"

namespace tesmo::test {
namespace {

struct Outcome {
    bool injected;
    NTSTATUS status;
};

// Runs `scenario` in a fresh system with the nth call at `site` failing, and
// checks the system is clean afterwards.
template <typename Scenario>
Outcome RunInjected(emu::FaultSite site, std::uint64_t n, Scenario scenario)
{
    emu::System system(TestSystemOptions());
    Outcome outcome{};
    {
        LoadedDriver driver(system);
        emu::usb::CommandInstrument instrument;
        DeviceStack stack(system, driver, instrument);
        system.faults().FailNth(site, n);
        outcome.status = scenario(stack);
        outcome.injected = system.faults().Hit(site);
        system.faults().Disarm();
    }
    system.Shutdown();
    for (const auto& violation : system.verifier().Violations()) {
        ADD_FAILURE() << "failing call " << n << ": " << emu::Describe(violation);
    }
    return outcome;
}

template <typename Scenario>
void ForEachInjectionPoint(emu::FaultSite site, const std::set<NTSTATUS>& allowed, Scenario scenario)
{
    for (std::uint64_t n = 1; n < 200; ++n) {
        Outcome outcome = RunInjected(site, n, scenario);
        if (!outcome.injected) {
            EXPECT_EQ(outcome.status, STATUS_SUCCESS) << "the run without a failure";
            EXPECT_GT(n, 1u) << "the scenario made no call at the site";
            return;
        }
        EXPECT_TRUE(allowed.count(outcome.status)) << "failing call " << n << " gave 0x" << std::hex
                                                    << static_cast<std::uint32_t>(outcome.status);
    }
    ADD_FAILURE() << "the scenario never ran out of injection points";
}

NTSTATUS AddDevice(DeviceStack& stack) { return stack.AddDevice(); }

// Nobody starts the device: its D0 opens it to the configuration's requests.
NTSTATUS AddAndConfigure(DeviceStack& stack)
{
    NTSTATUS status = stack.AddDevice();
    if (NT_SUCCESS(status)) status = stack.RequestPower(IRP_MN_SET_POWER, PowerDeviceD0);
    if (NT_SUCCESS(status)) status = DRIVER_SYMBOL(stack.driver(), ReadDescriptors)(stack.fdo());
    if (NT_SUCCESS(status)) {
        status = DRIVER_SYMBOL(stack.driver(), SelectConfiguration)(stack.fdo(), stack.extension()->ConfigurationDescriptor);
    }
    return status;
}

TEST(FaultInjectionTest, AddDeviceReleasesWhatItCreatedWhenAnAllocationFails)
{
    // The event log's storage failing is not fatal: AddDevice goes on without it.
    ForEachInjectionPoint(emu::FaultSite::Pool, {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES}, AddDevice);
}

TEST(FaultInjectionTest, AddDeviceReleasesWhatItCreatedWhenAWorkItemCannotBeAllocated)
{
    ForEachInjectionPoint(emu::FaultSite::WorkItem, {STATUS_INSUFFICIENT_RESOURCES}, AddDevice);
}

TEST(FaultInjectionTest, ConfigurationReportsEveryAllocationFailure)
{
    ForEachInjectionPoint(emu::FaultSite::Pool, {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES}, AddAndConfigure);
}

TEST(FaultInjectionTest, ConfigurationReportsEveryRequestThatCouldNotBeBuilt)
{
    ForEachInjectionPoint(emu::FaultSite::IrpBuild, {STATUS_INSUFFICIENT_RESOURCES}, AddAndConfigure);
}

}  // namespace
}  // namespace tesmo::test
