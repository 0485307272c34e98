#include "RequestNames.h"

#include <iterator>

namespace emu::detail {

namespace {

const char* const kMajors[] = {"CREATE",
                               "CREATE_NAMED_PIPE",
                               "CLOSE",
                               "READ",
                               "WRITE",
                               "QUERY_INFORMATION",
                               "SET_INFORMATION",
                               "QUERY_EA",
                               "SET_EA",
                               "FLUSH_BUFFERS",
                               "QUERY_VOLUME_INFORMATION",
                               "SET_VOLUME_INFORMATION",
                               "DIRECTORY_CONTROL",
                               "FILE_SYSTEM_CONTROL",
                               "DEVICE_CONTROL",
                               "INTERNAL_DEVICE_CONTROL",
                               "SHUTDOWN",
                               "LOCK_CONTROL",
                               "CLEANUP",
                               "CREATE_MAILSLOT",
                               "QUERY_SECURITY",
                               "SET_SECURITY",
                               "POWER",
                               "SYSTEM_CONTROL",
                               "DEVICE_CHANGE",
                               "QUERY_QUOTA",
                               "SET_QUOTA",
                               "PNP"};
const char* const kPnpMinors[] = {"START_DEVICE",
                                  "QUERY_REMOVE_DEVICE",
                                  "REMOVE_DEVICE",
                                  "CANCEL_REMOVE_DEVICE",
                                  "STOP_DEVICE",
                                  "QUERY_STOP_DEVICE",
                                  "CANCEL_STOP_DEVICE",
                                  "QUERY_DEVICE_RELATIONS",
                                  "QUERY_INTERFACE",
                                  "QUERY_CAPABILITIES",
                                  "QUERY_RESOURCES",
                                  "QUERY_RESOURCE_REQUIREMENTS",
                                  "QUERY_DEVICE_TEXT",
                                  "FILTER_RESOURCE_REQUIREMENTS",
                                  "0x0E",
                                  "READ_CONFIG",
                                  "WRITE_CONFIG",
                                  "EJECT",
                                  "SET_LOCK",
                                  "QUERY_ID",
                                  "QUERY_PNP_DEVICE_STATE",
                                  "QUERY_BUS_INFORMATION",
                                  "DEVICE_USAGE_NOTIFICATION",
                                  "SURPRISE_REMOVAL"};
const char* const kPowerMinors[] = {"WAIT_WAKE", "POWER_SEQUENCE", "SET_POWER", "QUERY_POWER"};
constexpr std::uint8_t kPower = 0x16, kPnp = 0x1B;

template <std::size_t N>
std::string Name(const char* const (&names)[N], std::uint8_t index)
{
    return index < N ? names[index] : "0x" + std::to_string(index);
}

}  // namespace

std::string RequestName(std::uint8_t major, std::uint8_t minor)
{
    std::string name = Name(kMajors, major);
    if (major == kPnp) name += " " + Name(kPnpMinors, minor);
    if (major == kPower) name += " " + Name(kPowerMinors, minor);
    return name;
}

}  // namespace emu::detail
