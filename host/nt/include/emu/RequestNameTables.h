// The names of the platform's IRP major functions and of the PnP and power
// minor functions, by code, as the timeline and the event log's decoder
// print them. Header only, so that the decoder needs no emulated kernel.
//
// Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace emu {

inline constexpr const char* kMajorFunctionNames[] = {
    "CREATE",
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
    "PNP",
};

inline constexpr const char* kPnpMinorFunctionNames[] = {
    "START_DEVICE",
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
    "0x0e",
    "READ_CONFIG",
    "WRITE_CONFIG",
    "EJECT",
    "SET_LOCK",
    "QUERY_ID",
    "QUERY_PNP_DEVICE_STATE",
    "QUERY_BUS_INFORMATION",
    "DEVICE_USAGE_NOTIFICATION",
    "SURPRISE_REMOVAL",
};

inline constexpr const char* kPowerMinorFunctionNames[] = {
    "WAIT_WAKE",
    "POWER_SEQUENCE",
    "SET_POWER",
    "QUERY_POWER",
};

// The name of `code` in `names`, or the code in hex ("0x1f") past its end.
template <std::size_t N>
std::string FunctionName(const char* const (&names)[N], std::uint64_t code)
{
    if (code < N) return names[code];
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(code));
    return text;
}

}  // namespace emu
