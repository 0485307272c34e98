// RtlNtStatusToDosError for the statuses this system's drivers and I/O
// manager return, with the platform's values.
#include <utility>

#include "Win32Internal.h"

namespace {

constexpr NTSTATUS Status(unsigned long value) { return static_cast<NTSTATUS>(value); }

constexpr std::pair<NTSTATUS, DWORD> kMapping[] = {
    {Status(0x00000000), ERROR_SUCCESS},
    {Status(0x00000103), ERROR_IO_PENDING},              // STATUS_PENDING
    {Status(0x80000005), ERROR_MORE_DATA},               // STATUS_BUFFER_OVERFLOW
    {Status(0x80000011), ERROR_BUSY},                    // STATUS_DEVICE_BUSY
    {Status(0x8000001A), ERROR_NO_MORE_ITEMS},           // STATUS_NO_MORE_ENTRIES
    {Status(0xC0000001), ERROR_GEN_FAILURE},             // STATUS_UNSUCCESSFUL
    {Status(0xC0000002), ERROR_INVALID_FUNCTION},        // STATUS_NOT_IMPLEMENTED
    {Status(0xC0000005), ERROR_NOACCESS},                // STATUS_ACCESS_VIOLATION
    {Status(0xC0000008), ERROR_INVALID_HANDLE},          // STATUS_INVALID_HANDLE
    {Status(0xC000000D), ERROR_INVALID_PARAMETER},       // STATUS_INVALID_PARAMETER
    {Status(0xC000000E), ERROR_FILE_NOT_FOUND},          // STATUS_NO_SUCH_DEVICE
    {Status(0xC0000010), ERROR_INVALID_FUNCTION},        // STATUS_INVALID_DEVICE_REQUEST
    {Status(0xC0000011), ERROR_HANDLE_EOF},              // STATUS_END_OF_FILE
    {Status(0xC0000016), ERROR_MORE_DATA},               // STATUS_MORE_PROCESSING_REQUIRED
    {Status(0xC0000017), ERROR_NOT_ENOUGH_MEMORY},       // STATUS_NO_MEMORY
    {Status(0xC0000022), ERROR_ACCESS_DENIED},           // STATUS_ACCESS_DENIED
    {Status(0xC0000023), ERROR_INSUFFICIENT_BUFFER},     // STATUS_BUFFER_TOO_SMALL
    {Status(0xC0000024), ERROR_INVALID_HANDLE},          // STATUS_OBJECT_TYPE_MISMATCH
    {Status(0xC0000033), ERROR_INVALID_NAME},            // STATUS_OBJECT_NAME_INVALID
    {Status(0xC0000034), ERROR_FILE_NOT_FOUND},          // STATUS_OBJECT_NAME_NOT_FOUND
    {Status(0xC0000035), ERROR_ALREADY_EXISTS},          // STATUS_OBJECT_NAME_COLLISION
    {Status(0xC000003A), ERROR_PATH_NOT_FOUND},          // STATUS_OBJECT_PATH_NOT_FOUND
    {Status(0xC0000056), ERROR_ACCESS_DENIED},           // STATUS_DELETE_PENDING
    {Status(0xC000009A), ERROR_NO_SYSTEM_RESOURCES},     // STATUS_INSUFFICIENT_RESOURCES
    {Status(0xC000009C), ERROR_CRC},                     // STATUS_DEVICE_DATA_ERROR
    {Status(0xC000009D), ERROR_NOT_READY},               // STATUS_DEVICE_NOT_CONNECTED
    {Status(0xC00000B5), ERROR_SEM_TIMEOUT},             // STATUS_IO_TIMEOUT
    {Status(0xC00000BB), ERROR_NOT_SUPPORTED},           // STATUS_NOT_SUPPORTED
    {Status(0xC0000120), ERROR_OPERATION_ABORTED},       // STATUS_CANCELLED
    {Status(0xC0000184), ERROR_BAD_COMMAND},             // STATUS_INVALID_DEVICE_STATE
    {Status(0xC0000206), ERROR_INVALID_USER_BUFFER},     // STATUS_INVALID_BUFFER_SIZE
    {Status(0xC0000225), ERROR_NOT_FOUND},               // STATUS_NOT_FOUND
    {Status(0xC00002B6), ERROR_DEV_NOT_EXIST},           // STATUS_DEVICE_REMOVED
    {Status(0xC00002D3), ERROR_NOT_READY},               // STATUS_POWER_STATE_INVALID
};

}  // namespace

extern "C" ULONG WINAPI RtlNtStatusToDosError(NTSTATUS status)
{
    for (const auto& [from, to] : kMapping) {
        if (from == status) return to;
    }
    return ERROR_MR_MID_NOT_FOUND;  // what the platform answers for a status it has no error for
}
