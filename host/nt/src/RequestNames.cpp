#include "RequestNames.h"

#include "emu/RequestNameTables.h"

namespace emu::detail {

namespace {

constexpr std::uint8_t kPower = 0x16, kPnp = 0x1B;

}  // namespace

std::string RequestName(std::uint8_t major, std::uint8_t minor)
{
    std::string name = FunctionName(kMajorFunctionNames, major);
    if (major == kPnp) name += " " + FunctionName(kPnpMinorFunctionNames, minor);
    if (major == kPower) name += " " + FunctionName(kPowerMinorFunctionNames, minor);
    return name;
}

}  // namespace emu::detail
