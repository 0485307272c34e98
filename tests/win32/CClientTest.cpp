// The C program against the fake port.
#include <cstring>

#include "Win32Test.h"

extern "C" int c_client_configure_and_talk(char* answer, DWORD answerSize);

namespace tesmo::test {
namespace {

TEST_F(Win32Test, CProgramConfiguresThePortAndTalksThroughIt)
{
    device().On(IRP_MJ_WRITE, [](PIRP irp, PIO_STACK_LOCATION sp) {
        return CompleteIrp(irp, STATUS_SUCCESS, sp->Parameters.Write.Length);
    });
    device().On(IRP_MJ_READ, [](PIRP irp, PIO_STACK_LOCATION) {
        const char reply[] = "TESMO,7\n";
        FakeDevice::Fill(irp, std::vector<UCHAR>(reply, reply + 8));
        return CompleteIrp(irp, STATUS_SUCCESS, 8);
    });
    char answer[32];
    EXPECT_EQ(c_client_configure_and_talk(answer, sizeof answer), 0) << "failed with error " << GetLastError();
    EXPECT_STREQ(answer, "TESMO,7\n");
    EXPECT_EQ(port().settings().baud.BaudRate, 115200u);
    EXPECT_EQ(port().settings().timeouts.ReadTotalTimeoutConstant, 500u);
}

}  // namespace
}  // namespace tesmo::test
