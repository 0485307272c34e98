#include "ErrorText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tesmo/windows.h"

namespace tesmo::sim {

namespace {

struct Known {
    std::uint32_t value;
    const char* name;
    const char* reason;
};

constexpr Known kWin32Errors[] = {
    {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION", "the driver does not take this request"},
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND", "no such port: not plugged in, or removed"},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED", "the port is open elsewhere: close it there first"},
    {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE", "the port's handle is closed"},
    {ERROR_NOT_READY, "ERROR_NOT_READY", "the device is not ready"},
    {ERROR_BAD_COMMAND, "ERROR_BAD_COMMAND", "the device does not know this request"},
    {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE", "the device is not working: asleep, stopping or removed"},
    {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED", "the driver does not support this (it has no modem lines)"},
    {ERROR_DEV_NOT_EXIST, "ERROR_DEV_NOT_EXIST", "the device has been removed"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER", "the driver does not take this value"},
    {ERROR_SEM_TIMEOUT, "ERROR_SEM_TIMEOUT", "the time limit ran out"},
    {ERROR_BUSY, "ERROR_BUSY", "the device is busy"},
    {ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED", "the request was cancelled (purge, close or removal)"},
    {ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES", "the driver ran out of memory"},
    {ERROR_TIMEOUT, "ERROR_TIMEOUT", "the time limit ran out"},
};

constexpr Known kStatuses[] = {
    {0x80000011u, "STATUS_DEVICE_BUSY", "device busy: close the port first"},
    {0xC0000001u, "STATUS_UNSUCCESSFUL", "the driver failed the request"},
    {0xC0000002u, "STATUS_NOT_IMPLEMENTED", "the driver does not implement this"},
    {0xC000000Du, "STATUS_INVALID_PARAMETER", "the driver does not take this value"},
    {0xC000000Eu, "STATUS_NO_SUCH_DEVICE", "the device has left the system"},
    {0xC0000010u, "STATUS_INVALID_DEVICE_REQUEST", "the driver does not take this request"},
    {0xC0000056u, "STATUS_DELETE_PENDING", "the device is being removed"},
    {0xC000009Au, "STATUS_INSUFFICIENT_RESOURCES", "the driver ran out of memory"},
    {0xC000009Du, "STATUS_DEVICE_NOT_CONNECTED", "the instrument is unplugged"},
    {0xC00000BBu, "STATUS_NOT_SUPPORTED", "the driver does not support this"},
    {0xC0000120u, "STATUS_CANCELLED", "the request was cancelled"},
    {0xC0000184u, "STATUS_INVALID_DEVICE_STATE", "the device is not in a state for this (stopped, asleep or removed)"},
    {0xC00002D3u, "STATUS_POWER_STATE_INVALID", "the device is powered down"},
};

constexpr Known kResults[] = {
    {static_cast<std::uint32_t>(TESMO_E_INVALID_ARGUMENT), "TESMO_E_INVALID_ARGUMENT", "a value the call cannot take"},
    {static_cast<std::uint32_t>(TESMO_E_NOT_BOOTED), "TESMO_E_NOT_BOOTED", "the emulated system is not running"},
    {static_cast<std::uint32_t>(TESMO_E_ALREADY_BOOTED), "TESMO_E_ALREADY_BOOTED", "a system runs already"},
    {static_cast<std::uint32_t>(TESMO_E_DRIVER_LOAD), "TESMO_E_DRIVER_LOAD", "the driver image did not load"},
    {static_cast<std::uint32_t>(TESMO_E_NO_SUCH_DEVICE), "TESMO_E_NO_SUCH_DEVICE",
     "no such device: see the device numbers printed at plug-in"},
    {static_cast<std::uint32_t>(TESMO_E_DEVICE_GONE), "TESMO_E_DEVICE_GONE", "the device has been removed"},
    {static_cast<std::uint32_t>(TESMO_E_REFUSED), "TESMO_E_REFUSED", "the driver refused it"},
    {static_cast<std::uint32_t>(TESMO_E_INVALID_STATE), "TESMO_E_INVALID_STATE",
     "the device is not in a state for this (unplugged, disabled, or not disabled)"},
    {static_cast<std::uint32_t>(TESMO_E_TIMEOUT), "TESMO_E_TIMEOUT", "it did not happen within the watchdog"},
};

template <std::size_t N>
const Known* Find(const Known (&table)[N], std::uint32_t value)
{
    for (const Known& known : table) {
        if (known.value == value) return &known;
    }
    return nullptr;
}

std::string Describe(const Known* known, const char* number)
{
    if (!known) return std::string(number);
    return std::string(known->name) + " (" + number + "): " + known->reason;
}

}  // namespace

std::string Win32ErrorText(std::uint32_t error)
{
    char number[16];
    std::snprintf(number, sizeof number, "%u", error);
    const Known* known = Find(kWin32Errors, error);
    return known ? Describe(known, number) : "Win32 error " + std::string(number);
}

std::string NtStatusText(std::int32_t status)
{
    char number[16];
    std::snprintf(number, sizeof number, "0x%08x", static_cast<unsigned>(status));
    const Known* known = Find(kStatuses, static_cast<std::uint32_t>(status));
    return known ? Describe(known, number) : "status " + std::string(number);
}

std::string ResultText(tesmo_result result)
{
    const Known* known = Find(kResults, static_cast<std::uint32_t>(result));
    if (!known) return result == TESMO_OK ? "TESMO_OK" : "result " + std::to_string(result);
    return std::string(known->name) + ": " + known->reason;
}

std::string ErrnoText(int error)
{
    const char* name = strerrorname_np(error);
    return std::string(name ? name : "errno " + std::to_string(error)) + ": " + std::strerror(error);
}

}  // namespace tesmo::sim
