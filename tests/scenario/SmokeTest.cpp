// The shortest whole road: plug the instrument in, open COM3 through the
// Win32 API, send a command, read the answer, close, unplug.
#include <gtest/gtest.h>

#include <string>

#include "DeviceTest.h"
#include "Win32Handles.h"

namespace tesmo::test {
namespace {

class SmokeTest : public StartedPortTest, protected Win32Handles {};

TEST_F(SmokeTest, CommandAndAnswerThroughComPort)
{
    EXPECT_EQ(stack().portName(), u"COM3");
    HANDLE handle = OpenPort();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(handle, "*IDN?\n", 6, &written, nullptr));
    EXPECT_EQ(written, 6u);
    char answer[128] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(handle, answer, sizeof answer, &got, nullptr)) << GetLastError();
    EXPECT_EQ(std::string(answer, got), "TESMO,Model 7,SN 000123,FW 1.5\n");
    EXPECT_TRUE(Close(handle));
}

}  // namespace
}  // namespace tesmo::test
