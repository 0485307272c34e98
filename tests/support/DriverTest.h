// The rung above the system: the driver image loaded into it, a fresh image
// whose globals have their load-time values, unloaded when the fixture goes,
// after everything a higher rung or the test built on it.
#pragma once

#include "LoadedDriver.h"
#include "SystemTest.h"

namespace tesmo::test {

class DriverTest : public SystemTest {
protected:
    LoadedDriver& driver() { return driver_; }

private:
    LoadedDriver driver_{sys()};
};

}  // namespace tesmo::test
