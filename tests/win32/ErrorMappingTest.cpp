// The status-to-error mapping, as a table and as an application meets it: a
// driver's status on a request becomes the thread's last error.
#include <thread>

#include "Win32Test.h"

namespace tesmo::test {
namespace {

struct MappingCase {
    const char* label;
    NTSTATUS status;
    DWORD error;
};
void PrintTo(const MappingCase& c, std::ostream* out) { *out << c.label; }

const MappingCase kMappings[] = {
    {"SUCCESS", STATUS_SUCCESS, ERROR_SUCCESS},
    {"PENDING", STATUS_PENDING, ERROR_IO_PENDING},
    {"BUFFER_OVERFLOW", STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {"UNSUCCESSFUL", STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {"NOT_IMPLEMENTED", STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {"INVALID_HANDLE", STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {"INVALID_PARAMETER", STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {"NO_SUCH_DEVICE", STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {"INVALID_DEVICE_REQUEST", STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {"ACCESS_DENIED", STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {"BUFFER_TOO_SMALL", STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {"OBJECT_NAME_NOT_FOUND", STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {"OBJECT_PATH_NOT_FOUND", STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {"DELETE_PENDING", STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {"INSUFFICIENT_RESOURCES", STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {"DEVICE_DATA_ERROR", STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
    {"DEVICE_NOT_CONNECTED", STATUS_DEVICE_NOT_CONNECTED, ERROR_NOT_READY},
    {"IO_TIMEOUT", STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {"CANCELLED", STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {"INVALID_DEVICE_STATE", STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    {"a status without an error", static_cast<NTSTATUS>(0xC0DE0001), ERROR_MR_MID_NOT_FOUND},
};

class StatusMapping : public ::testing::TestWithParam<MappingCase> {};

TEST_P(StatusMapping, GivesThePlatformsError)
{
    EXPECT_EQ(RtlNtStatusToDosError(GetParam().status), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Table, StatusMapping, ::testing::ValuesIn(kMappings),
                         [](const auto& info) { return CaseName(info.param.label); });

class DriverStatus : public Win32Test, public ::testing::WithParamInterface<MappingCase> {};

TEST_P(DriverStatus, BecomesTheLastErrorOfTheFailedCall)
{
    port().Answer(IOCTL_SERIAL_PURGE, GetParam().status);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(PurgeComm(Port(), PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Some, DriverStatus,
                         ::testing::Values(kMappings[3], kMappings[6], kMappings[13], kMappings[16],
                                           kMappings[19]),
                         [](const auto& info) { return CaseName(info.param.label); });

TEST_F(Win32Test, LastErrorBelongsToTheThread)
{
    SetLastError(ERROR_CRC);
    std::thread other([] {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        SetLastError(ERROR_BUSY);
    });
    other.join();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CRC));
}

}  // namespace
}  // namespace tesmo::test
