// Fixtures for unit tests that call the driver's routines on one device of
// the emulated bus: DriverStackTest loads the driver and plugs a command
// instrument in; AddedDeviceTest also runs the driver's AddDevice, so the
// FDO and its record exist when the test body starts. Teardown removes the
// device and unloads the driver before the system checks for leaks.
#pragma once

#include <memory>

#include "DriverStack.h"
#include "SystemTest.h"
#include "instrument/CommandInstrument.h"

namespace tesmo::test {

class DriverStackTest : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        stack_ = std::make_unique<DriverStack>(sys(), instrument_);
    }
    void TearDown() override
    {
        stack_.reset();
        SystemTest::TearDown();
    }

    emu::usb::CommandInstrument instrument_;
    std::unique_ptr<DriverStack> stack_;
};

class AddedDeviceTest : public DriverStackTest {
protected:
    void SetUp() override
    {
        DriverStackTest::SetUp();
        ASSERT_EQ(stack_->AddDevice(), STATUS_SUCCESS);
    }
};

}  // namespace tesmo::test
