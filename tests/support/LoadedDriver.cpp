#include "LoadedDriver.h"

namespace tesmo::test {

LoadedDriver::LoadedDriver(emu::System& system, const std::u16string& service) : system_(system)
{
    object_ = system_.LoadDriverImage(TESMO_DRIVER_PATH, service);
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
