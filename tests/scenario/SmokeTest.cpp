// The shortest whole road: plug the instrument in, open COM3 through the
// Win32 API, send a command, read the answer, close, unplug.
#include <gtest/gtest.h>

#include <string>

#include "PortStack.h"
#include "SystemTest.h"
#include "instrument/CommandInstrument.h"
#include "tesmo/windows.h"

namespace tesmo::test {
namespace {

using SmokeTest = SystemTest;

TEST_F(SmokeTest, CommandAndAnswerThroughComPort)
{
    emu::usb::CommandInstrument instrument;
    {
        PortStack port(sys(), instrument);
        ASSERT_EQ(port.Plug(), STATUS_SUCCESS);
        EXPECT_EQ(port.portName(), u"COM3");
        HANDLE handle = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(handle, "*IDN?\n", 6, &written, nullptr));
        EXPECT_EQ(written, 6u);
        char answer[128] = {};
        DWORD got = 0;
        ASSERT_TRUE(ReadFile(handle, answer, sizeof answer, &got, nullptr)) << GetLastError();
        EXPECT_EQ(std::string(answer, got), "TESMO,Model 7,SN 000123,FW 1.5\n");
        EXPECT_TRUE(CloseHandle(handle));
    }
}

}  // namespace
}  // namespace tesmo::test
