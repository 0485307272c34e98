// The fixture for tests of a started port: the driver loaded, a command
// instrument plugged in through the PnP manager and started as COM3.
// Teardown removes the port and unloads the driver before the system checks
// for leaks.
#pragma once

#include <memory>

#include "PortStack.h"
#include "SystemTest.h"
#include "instrument/CommandInstrument.h"

namespace tesmo::test {

class PluggedPortTest : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        port_ = std::make_unique<PortStack>(sys(), instrument_);
        ASSERT_EQ(port_->Plug(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        port_.reset();
        SystemTest::TearDown();
    }

    emu::usb::CommandInstrument instrument_;
    std::unique_ptr<PortStack> port_;
};

}  // namespace tesmo::test
