// The kernel's bounded formatter: the platform's conversions and the exact
// truncation rules of RtlStringCbVPrintfA over _vsnprintf.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "SystemTest.h"
#include "emu_ntddk.h"

namespace tesmo::test {
namespace {

std::string Format(const char* format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    NTSTATUS status = RtlStringCbVPrintfA(buffer, sizeof buffer, format, args);
    va_end(args);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return buffer;
}

NTSTATUS FormatInto(char* buffer, size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    NTSTATUS status = RtlStringCbVPrintfA(buffer, size, format, args);
    va_end(args);
    return status;
}

TEST(FormatTest, KernelConversions)
{
    const WCHAR wide[] = u"COM3";
    UNICODE_STRING counted{6, 10, const_cast<PWSTR>(u"\\Device")};
    EXPECT_EQ(Format("%ws|%S|%wZ", wide, wide, &counted), "COM3|COM3|\\De");
    EXPECT_EQ(Format("%p", reinterpret_cast<void*>(0xDEADBEEF)), "00000000DEADBEEF");
    EXPECT_EQ(Format("%.2X %.2X", 0x0A, 0xFF), "0A FF");
    EXPECT_EQ(Format("0x%x %X %d", 0xC0000001u, 0x102, -5), "0xc0000001 102 -5");
    EXPECT_EQ(Format("%s %ws", static_cast<char*>(nullptr), static_cast<WCHAR*>(nullptr)), "(null) (null)");
    EXPECT_EQ(Format("[%5d|%-5d|%05d]", 42, 42, 42), "[   42|42   |00042]");
    EXPECT_EQ(Format("%I64x %lld", 0x123456789ull, -1ll), "123456789 -1");
    EXPECT_EQ(Format("%%"), "%");
}

// long is 32 bits on the platform: %lx takes a 32-bit argument, so the next
// conversion still finds its own argument.
TEST(FormatTest, LongIsThirtyTwoBits)
{
    EXPECT_EQ(Format("%lx %lu %d", static_cast<ULONG>(0xFFFFFFFF), static_cast<ULONG>(7), 9), "ffffffff 7 9");
}

TEST(FormatTest, ExactlyFillingTextIsKeptLongerTextOverflows)
{
    std::string fits(1023, 'a');
    std::string tooLong(1024, 'b');
    char buffer[1024];
    EXPECT_EQ(FormatInto(buffer, sizeof buffer, "%s", fits.c_str()), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer), fits);
    EXPECT_EQ(FormatInto(buffer, sizeof buffer, "%s", tooLong.c_str()), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(buffer), std::string(1023, 'b'));  // cut and terminated
}

TEST(FormatTest, ZeroSizedBufferIsInvalid)
{
    char sentinel = 'S';
    EXPECT_EQ(FormatInto(&sentinel, 0, "x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sentinel, 'S');
}

// What the shipped image's inline RtlStringCbVPrintfA does: its own
// va_list, in the platform's convention, handed to the kernel's _vsnprintf.
int NTAPI PlatformFormat(char* buffer, size_t count, const char* format, ...)
{
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, format);
    int written = EmuPlatform_vsnprintf(buffer, count, format, args);
    __builtin_ms_va_end(args);
    return written;
}

// The variadic exports take the platform's convention: more arguments than
// registers, a 64-bit integer, a 32-bit long, a double and pointers all
// arrive in their own slots whichever route the call takes.
using PlatformConventionTest = SystemTest;

TEST_F(PlatformConventionTest, EveryVariadicRouteTakesThePlatformsConvention)
{
    const char* format = "%d %lx %I64x %s %ws %.2f %p %wZ|";
    UNICODE_STRING counted{8, 8, const_cast<PWSTR>(u"COM3")};
    const std::string expected = "-7 ffffffff 123456789 text wide 2.50 00000000DEADBEEF COM3|";
#define TESMO_FORMAT_ARGUMENTS                                                                                     \
    -7, static_cast<ULONG>(0xFFFFFFFF), 0x123456789ull, "text", u"wide", 2.5, reinterpret_cast<void*>(0xDEADBEEF), \
        &counted
    char buffer[128];
    std::memset(buffer, 'S', sizeof buffer);
    EXPECT_EQ(_snprintf(buffer, sizeof buffer, format, TESMO_FORMAT_ARGUMENTS), static_cast<int>(expected.size()));
    EXPECT_EQ(std::string(buffer), expected) << "_snprintf";
    std::memset(buffer, 'S', sizeof buffer);
    EXPECT_EQ(RtlStringCbPrintfA(buffer, sizeof buffer, format, TESMO_FORMAT_ARGUMENTS), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer), expected) << "RtlStringCbPrintfA";
    std::memset(buffer, 'S', sizeof buffer);
    EXPECT_EQ(PlatformFormat(buffer, sizeof buffer, format, TESMO_FORMAT_ARGUMENTS), static_cast<int>(expected.size()));
    EXPECT_EQ(std::string(buffer), expected) << "_vsnprintf with the platform's va_list";
    std::string traced;
    sys().SetTraceSink([&](std::uint32_t, std::uint32_t, std::string_view text) { traced = text; });
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, format, TESMO_FORMAT_ARGUMENTS);
    EXPECT_EQ(traced, expected) << "DbgPrintEx";
#undef TESMO_FORMAT_ARGUMENTS
}

TEST(FormatTest, VsnprintfReportsMinusOneWhenTextDoesNotFit)
{
    char buffer[8];
    std::memset(buffer, 'S', sizeof buffer);
    EXPECT_EQ(_snprintf(buffer, 4, "abcd"), 4);  // exactly fits: no terminator
    EXPECT_EQ(buffer[4], 'S');
    EXPECT_EQ(_snprintf(buffer, 4, "abcde"), -1);
    EXPECT_EQ(_snprintf(buffer, 8, "ab"), 2);
    EXPECT_STREQ(buffer, "ab");
}

}  // namespace
}  // namespace tesmo::test
