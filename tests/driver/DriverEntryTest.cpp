// Loading and unloading the driver image, and the dispatch table it fills.
#include <gtest/gtest.h>

#include <regex>

#include "DriverTest.h"
#include "TestDriver.h"
#include "TraceRecorder.h"
#include "Tesmo.h"

namespace tesmo::test {
namespace {

using DriverEntryTest = SystemTest;

TEST_F(DriverEntryTest, LoadPrintsTheBannerThenTheVersionLine)
{
    TraceRecorder trace(sys());
    LoadedDriver driver(sys());
    auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, std::string(82, '*') + "\n");
    EXPECT_TRUE(std::regex_match(lines[1].text,
                                 std::regex("Tesmo\\.c: DriverEntry ENTRY 1\\.5\\.0\\.0022 "
                                            "[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4}:[0-9]{2}:[0-9]{2}:[0-9]{2}\n")))
        << lines[1].text;
    EXPECT_EQ(lines[0].level, 4u);
    EXPECT_EQ(lines[1].component, 0x001u);
}

TEST_F(DriverEntryTest, UnloadPrintsOneLine)
{
    LoadedDriver driver(sys());
    TraceRecorder trace(sys());
    driver.Unload();
    EXPECT_EQ(trace.Texts(), std::vector<std::string>{"Tesmo.c: DriverEntry Unload\n"});
}

// Every later test relies on this: a new load is a new image with the
// load-time values of the driver's globals.
TEST_F(DriverEntryTest, EachLoadStartsWithFreshGlobals)
{
    {
        LoadedDriver first(sys());
        *DRIVER_SYMBOL(first, DeviceInstanceCounter) = 41;
    }
    LoadedDriver second(sys());
    EXPECT_EQ(*DRIVER_SYMBOL(second, DeviceInstanceCounter), 0);
}

// A device of the driver on top of a test lower driver, built by hand.
class DispatchTableTest : public DriverTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(IoCreateDevice(driver().object(), sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_SERIAL_PORT, 0,
                                 FALSE, &device_),
                  STATUS_SUCCESS);
        auto* extension = static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension);
        extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(device_, lowerDevice_);
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
        lower_.OnAny([this](PDEVICE_OBJECT, PIRP irp) {
            ++lowerCalls_;
            lowerMinor_ = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
            lowerArgument_ = IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
            return CompleteIrp(irp, STATUS_DEVICE_BUSY);
        });
    }
    void TearDown() override
    {
        IoDetachDevice(lowerDevice_);
        IoDeleteDevice(device_);
    }

    TestDriver lower_{sys(), u"Lower"};
    PDEVICE_OBJECT lowerDevice_ = lower_.CreateDevice();
    PDEVICE_OBJECT device_ = nullptr;
    int lowerCalls_ = 0;
    UCHAR lowerMinor_ = 0xFF;
    PVOID lowerArgument_ = nullptr;
};

TEST_F(DispatchTableTest, SystemControlReachesTheLowerDriverUnchanged)
{
    TopLevelIrp request(device_, IRP_MJ_SYSTEM_CONTROL, 0x0B);
    request.stack()->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0x1234);
    EXPECT_EQ(request.Send(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(lowerCalls_, 1);
    EXPECT_EQ(lowerMinor_, 0x0B);
    EXPECT_EQ(lowerArgument_, reinterpret_cast<PVOID>(0x1234));
}

TEST_F(DispatchTableTest, UnregisteredMajorsAreRefusedWithoutReachingTheDriver)
{
    for (UCHAR major : {IRP_MJ_FLUSH_BUFFERS, IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION,
                        IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SHUTDOWN}) {
        TopLevelIrp request(device_, major);
        EXPECT_EQ(request.Send(), STATUS_INVALID_DEVICE_REQUEST) << "major " << int(major);
        EXPECT_EQ(request.finalStatus(), STATUS_INVALID_DEVICE_REQUEST);
    }
    EXPECT_EQ(lowerCalls_, 0);
}

}  // namespace
}  // namespace tesmo::test
