// The shipped image, tesmo.sys as mingw-w64 built it against the platform's
// DDK, run by the emulation's own PE loader. The Windows image check names
// its build in TESMO_WINDOWS_BUILD; without it these tests are skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "SystemTest.h"
#include "TraceRecorder.h"
#include "emu_ntddk.h"

namespace tesmo::test {
namespace {

std::string WindowsBuild()
{
    const char* directory = std::getenv("TESMO_WINDOWS_BUILD");
    return directory ? directory : "";
}

std::vector<std::uint8_t> ReadImage(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class PlatformImageTest : public SystemTest {
protected:
    void SetUp() override
    {
        if (WindowsBuild().empty()) GTEST_SKIP() << "TESMO_WINDOWS_BUILD names no Windows build";
    }
};

TEST_F(PlatformImageTest, TheTracedImageRunsItsEntryAndUnloadThroughTheEmulation)
{
    TraceRecorder trace(sys());
    PDRIVER_OBJECT driver = sys().LoadDriverImage(WindowsBuild() + "-traced/tesmo.sys", u"tesmo");
    ASSERT_NE(driver, nullptr);
    // The banner, then the version line, through DbgPrintEx.
    std::vector<std::string> lines = trace.Texts();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("Tesmo.c: DriverEntry ENTRY 1.5.0.0022 ", 0), 0u) << lines[1];
    EXPECT_NE(driver->DriverExtension->AddDevice, nullptr);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_PNP], driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS]);
    sys().UnloadDriver(driver);
    EXPECT_TRUE(trace.Contains("Tesmo.c: DriverEntry Unload\n"));
}

// Each image the loader must refuse, and the reason it must give.
struct RefusedImage {
    const char* label;
    const char* file;  // under the Windows build
    std::function<void(std::vector<std::uint8_t>&)> spoil;
    const char* reason;
};

void PatchHeaderField(std::vector<std::uint8_t>& image, std::size_t offsetFromPe, std::uint16_t value)
{
    std::uint32_t pe = 0;
    std::memcpy(&pe, image.data() + 0x3c, sizeof pe);
    std::memcpy(image.data() + pe + offsetFromPe, &value, sizeof value);
}

TEST_F(PlatformImageTest, ImagesItCannotRunAreRefusedNamingWhy)
{
    const RefusedImage cases[] = {
        {"an import the emulation lacks", "probes/probe_unemulated_import.sys", nullptr,
         "the emulation does not export ntoskrnl.exe!"},
        {"a 32-bit machine", "tesmo.sys", [](auto& image) { PatchHeaderField(image, 4, 0x14c); },
         "not an x64 PE32+ image"},
        {"a user-mode subsystem", "tesmo.sys", [](auto& image) { PatchHeaderField(image, 24 + 68, 3); },
         "not a native (kernel) image"},
        {"cut after its DOS header", "tesmo.sys", [](auto& image) { image.resize(0x80); }, "not a PE image"},
    };
    for (const RefusedImage& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::uint8_t> image = ReadImage(WindowsBuild() + "/" + c.file);
        ASSERT_GT(image.size(), 0x400u);
        if (c.spoil) c.spoil(image);
        std::string path = ::testing::TempDir() + "refused.sys";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(sys().LoadDriverImage(path, u"refused"), nullptr);
        EXPECT_NE(::testing::internal::GetCapturedStderr().find(c.reason), std::string::npos);
    }
}

}  // namespace
}  // namespace tesmo::test
