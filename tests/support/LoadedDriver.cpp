#include "LoadedDriver.h"

#include <cstdlib>

namespace tesmo::test {

namespace {

// TESMO_DRIVER_IMAGE runs the tests against another build of the driver (an
// older one, to show that a test catches the fault it was written for).
const char* DriverImagePath()
{
    const char* fromEnvironment = std::getenv("TESMO_DRIVER_IMAGE");
    return fromEnvironment ? fromEnvironment : TESMO_DRIVER_PATH;
}

}  // namespace

LoadedDriver::LoadedDriver(emu::System& system, const std::u16string& service)
    : LoadedDriver(system, service, DriverImagePath())
{}

LoadedDriver::LoadedDriver(emu::System& system, const std::u16string& service, const char* imagePath) : system_(system)
{
    object_ = system_.LoadDriverImage(imagePath, service);
    if (!object_) throw std::runtime_error("the driver image did not load");
}

LoadedDriver::~LoadedDriver() { Unload(); }

void LoadedDriver::Unload()
{
    if (!object_) return;
    system_.UnloadDriver(object_);
    object_ = nullptr;
}

}  // namespace tesmo::test
