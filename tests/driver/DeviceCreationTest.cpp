// Device creation: the numbered device object, the record's starting values,
// the event log's first entry, the interface, and AddDevice's failures.
#include <gtest/gtest.h>

#include <cstring>

#include "DeviceTest.h"
#include "EventLog.h"
#include "TestDriver.h"
#include "TraceRecorder.h"
#include "Tesmo.h"
#include "emu/DeviceInterfaces.h"
#include "emu/Devices.h"

namespace tesmo::test {
namespace {

using DeviceCreationTest = BusDeviceTest;

TEST_F(DeviceCreationTest, RecordStartsHoldingRequestsAndNotStarted)
{
    ASSERT_EQ(stack().AddDevice(), STATUS_SUCCESS);
    PDEVICE_EXTENSION e = ext();
    EXPECT_EQ(std::memcmp(&e->Signature, "Kvrl", 4), 0);
    EXPECT_EQ(e->ExtensionStamp, 0x01500012u);
    EXPECT_EQ(e->FunctionalDeviceObject, fdo());
    EXPECT_EQ(e->PhysicalDeviceObject, stack().pdo());
    EXPECT_EQ(e->LowerDeviceObject, stack().pdo());
    EXPECT_EQ(ReadQueueState(e), ULONG(HoldRequests));
    EXPECT_EQ(e->PnpState, ULONG(NotStarted));
    const DEVICE_POWER_STATE expectedMap[7] = {PowerDeviceD3, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3,
                                               PowerDeviceD3, PowerDeviceD3, PowerDeviceD3};
    EXPECT_EQ(std::memcmp(e->DeviceStateMap, expectedMap, sizeof expectedMap), 0);
    EXPECT_NE(KeReadStateEvent(&e->NoPendingUsbTranfers), 0);
    EXPECT_EQ(KeReadStateEvent(&e->StaticBufferEvent), 0);
    EXPECT_EQ(e->StaticBuffer, nullptr);
    EXPECT_EQ(e->SystemPowerState, 0);
    EXPECT_EQ(e->DevicePowerState, 0);
    EXPECT_EQ(e->OutstandingIo, 0);
    EXPECT_EQ(e->LogMask, 255u);
}

TEST_F(DeviceCreationTest, DeviceObjectIsAnExclusiveBufferedPowerPageableSerialPort)
{
    ASSERT_EQ(stack().AddDevice(), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = this->fdo();
    EXPECT_EQ(emu::DeviceName(fdo), u"\\Device\\Tesmo1");
    EXPECT_EQ(fdo->DeviceType, ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_TRUE(fdo->Flags & DO_EXCLUSIVE);
    EXPECT_TRUE(fdo->Flags & DO_BUFFERED_IO);
    EXPECT_TRUE(fdo->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(fdo->Characteristics & FILE_DEVICE_SECURE_OPEN, ULONG(FILE_DEVICE_SECURE_OPEN));
}

TEST_F(DeviceCreationTest, InterfaceIsRegisteredAndEnabledAndTheNameIsOwned)
{
    ASSERT_EQ(stack().AddDevice(), STATUS_SUCCESS);
    auto interfaces = emu::DeviceInterfacesOf(stack().pdo());
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(emu::GuidText(interfaces[0].interfaceClass), u"{7e5d8da7-540b-4940-a4df-9383a9a1c215}");
    UNICODE_STRING& link = ext()->InterfaceLinkName;
    EXPECT_EQ(std::u16string(link.Buffer, link.Length / 2), interfaces[0].linkName);
}

TEST_F(DeviceCreationTest, AddDeviceLeavesItsEntryInTheEventLog)
{
    TraceRecorder trace(sys());
    ASSERT_EQ(stack().AddDevice(), STATUS_SUCCESS);
    PDEVICE_EXTENSION e = ext();
    const EVENT_LOG_ENTRY& newest = e->LogEntries[static_cast<ULONG>(e->LogIndex) & e->LogMask];
    EXPECT_EQ(std::memcmp(newest.Tag, "AddD", 4), 0);
    EXPECT_EQ(newest.Value1, 0u);
    EXPECT_EQ(e->LogIndex, -1);
    EXPECT_TRUE(trace.Contains("Tesmo.c: objectName.Buffer = \\Device\\Tesmo1\n"));
    EXPECT_TRUE(trace.Contains("Tesmo.c: PnPAddDevice EXIT = 0x0\n"));
}

TEST_F(DeviceCreationTest, WithoutEventLogStorageTheDeviceStillComesUp)
{
    // The first allocation is the name buffer, the second the log's storage.
    sys().faults().FailNth(emu::FaultSite::Pool, 2);
    TraceRecorder trace(sys());
    ASSERT_EQ(stack().AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(ext()->LogEntries, nullptr);
    EXPECT_TRUE(trace.Contains("Tesmo.c:PnPAddDevice-InitCircularLog failed with status = 0xc000009a\n"));
}

// Numbers: every AddDevice that got its name buffer takes the next number,
// whether it succeeds or not; one that did not get the buffer takes none.
TEST_F(DeviceCreationTest, NumbersCountAttemptsThatGotTheirNameBuffer)
{
    ASSERT_EQ(stack().AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(emu::DeviceName(fdo()), u"\\Device\\Tesmo1");
    PDRIVER_OBJECT driver = this->driver().object();
    emu::usb::CommandInstrument second, third, fourth;

    // A device already named \Device\Tesmo2 makes the second IoCreateDevice fail.
    TestDriver squatter(sys(), u"Squatter");
    PDEVICE_OBJECT squat = nullptr;
    UNICODE_STRING taken;
    RtlInitUnicodeString(&taken, u"\\Device\\Tesmo2");
    ASSERT_EQ(IoCreateDevice(squatter.object(), 0, &taken, FILE_DEVICE_UNKNOWN, 0, FALSE, &squat), STATUS_SUCCESS);
    emu::usb::UsbDevice& usb2 = stack().bus().Plug(second);
    EXPECT_EQ(driver->DriverExtension->AddDevice(driver, usb2.pdo()), STATUS_OBJECT_NAME_COLLISION);
    IoDeleteDevice(squat);

    // No name buffer: no number.
    emu::usb::UsbDevice& usb3 = stack().bus().Plug(third);
    sys().faults().FailNth(emu::FaultSite::Pool, 1);
    EXPECT_EQ(driver->DriverExtension->AddDevice(driver, usb3.pdo()), STATUS_INSUFFICIENT_RESOURCES);

    emu::usb::UsbDevice& usb4 = stack().bus().Plug(fourth);
    ASSERT_EQ(driver->DriverExtension->AddDevice(driver, usb4.pdo()), STATUS_SUCCESS);
    EXPECT_EQ(emu::DeviceName(usb4.pdo()->AttachedDevice), u"\\Device\\Tesmo3");
    TopLevelIrp remove(usb4.pdo()->AttachedDevice, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    remove.Send();
    // The instruments end with the test: off the bus before they go.
    for (auto* usb : {&usb2, &usb3, &usb4}) usb->Unplug();
}

}  // namespace
}  // namespace tesmo::test
