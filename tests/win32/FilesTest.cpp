// Opening, closing, reading and writing the port through the Win32 file API,
// and the errors an application gets.
#include <thread>

#include "Win32Test.h"

namespace tesmo::test {
namespace {

struct NameCase {
    const char* label;
    const char* name;
    DWORD error;  // ERROR_SUCCESS: the open succeeds
};
void PrintTo(const NameCase& c, std::ostream* out) { *out << c.label; }

class PortNames : public Win32Test, public ::testing::WithParamInterface<NameCase> {};

TEST_P(PortNames, OpenTheLinkedDeviceOrSayWhyNot)
{
    HANDLE h = Open(GetParam().name);
    if (GetParam().error == ERROR_SUCCESS) {
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        EXPECT_EQ(device().Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE}));
        EXPECT_TRUE(CloseHandle(h));
    } else {
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), GetParam().error);
        EXPECT_TRUE(device().Requests().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, PortNames,
                         ::testing::Values(NameCase{"device namespace", "\\\\.\\COM3", ERROR_SUCCESS},
                                           NameCase{"device namespace lower case", "\\\\.\\com3", ERROR_SUCCESS},
                                           NameCase{"literal namespace", "\\\\?\\COM3", ERROR_SUCCESS},
                                           NameCase{"reserved DOS name", "COM3", ERROR_SUCCESS},
                                           NameCase{"reserved DOS name with colon", "com3:", ERROR_SUCCESS},
                                           NameCase{"port without a link", "\\\\.\\COM9", ERROR_FILE_NOT_FOUND},
                                           NameCase{"below a missing directory", "\\\\.\\Nowhere\\COM3",
                                                    ERROR_PATH_NOT_FOUND}),
                         [](const auto& info) { return CaseName(info.param.label); });

TEST_F(Win32Test, SecondOpenOfTheExclusivePortIsDeniedWithoutReachingTheDriver)
{
    HANDLE first = Open("\\\\.\\COM3");
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("\\\\.\\COM3"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(device().Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE}));
    CloseHandle(first);
}

TEST_F(Win32Test, CloseHandleSendsCleanupThenCloseAndTheHandleIsGone)
{
    HANDLE h = Open("\\\\.\\COM3");
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(device().Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}

TEST_F(Win32Test, InvalidCreationDispositionIsRefusedBeforeTheDriver)
{
    EXPECT_EQ(CreateFileA("\\\\.\\COM3", GENERIC_READ, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(device().Requests().empty());
}

TEST_F(Win32Test, FileSystemPathsAreNotModelled)
{
    EXPECT_EQ(Open("C:\\data\\log.txt"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(TakeViolations(emu::Rule::NotModelled).size(), 1u);
}

TEST_F(Win32Test, WriteFileHandsTheBytesToTheDriverAndReportsWhatItSent)
{
    HANDLE h = Port();
    device().On(IRP_MJ_WRITE, [](PIRP irp, PIO_STACK_LOCATION sp) {
        return CompleteIrp(irp, STATUS_SUCCESS, sp->Parameters.Write.Length);
    });
    DWORD written = 0xEEEEEEEE;
    ASSERT_TRUE(WriteFile(h, "*IDN?\n", 6, &written, nullptr));
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(device().Requests().at(0).input, (std::vector<UCHAR>{'*', 'I', 'D', 'N', '?', '\n'}));
}

// A read that times out in the driver is a success with the bytes it got.
TEST_F(Win32Test, ReadEndingInTimeoutSucceedsWithTheBytesDelivered)
{
    HANDLE h = Port();
    device().On(IRP_MJ_READ, [](PIRP irp, PIO_STACK_LOCATION) {
        FakeDevice::Fill(irp, {'4', '2'});
        return CompleteIrp(irp, STATUS_TIMEOUT, 2);
    });
    char buffer[8] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(std::string(buffer, 2), "42");
}

TEST_F(Win32Test, FailedReadReportsTheMappedErrorAndNoBytes)
{
    HANDLE h = Port();
    device().On(IRP_MJ_READ, [](PIRP irp, PIO_STACK_LOCATION) { return CompleteIrp(irp, STATUS_UNSUCCESSFUL); });
    char buffer[4];
    DWORD read = 0xEEEEEEEE;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(read, 0u);
}

TEST_F(Win32Test, SynchronousReadBlocksUntilTheDriverCompletes)
{
    device().HoldAll(IRP_MJ_READ);
    HANDLE h = Port();
    char buffer[4] = {};
    DWORD read = 0;
    BOOL result = FALSE;
    std::thread application([&] { result = ReadFile(h, buffer, sizeof buffer, &read, nullptr); });
    PIRP irp = device().WaitHeld();
    FakeDevice::Fill(irp, {'o', 'k'});
    device().CompleteHeld(irp, STATUS_SUCCESS, 2);
    application.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(buffer[1], 'k');
}

}  // namespace
}  // namespace tesmo::test
