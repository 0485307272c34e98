// Device creation: the numbered device object, the record's starting values,
// the event log's first entry, the interface, and AddDevice's failures.
#include <gtest/gtest.h>

#include <cstring>

#include "DriverStackTest.h"
#include "EventLog.h"
#include "SystemTest.h"
#include "TestDriver.h"
#include "TraceRecorder.h"
#include "Tesmo.h"
#include "emu/DeviceInterfaces.h"
#include "emu/Devices.h"
#include "instrument/CommandInstrument.h"

namespace tesmo::test {
namespace {

class DeviceCreationTest : public DriverStackTest {
protected:
};

TEST_F(DeviceCreationTest, RecordStartsHoldingRequestsAndNotStarted)
{
    ASSERT_EQ(stack_->AddDevice(), STATUS_SUCCESS);
    PDEVICE_EXTENSION e = stack_->extension();
    EXPECT_EQ(std::memcmp(&e->Signature, "Kvrl", 4), 0);
    EXPECT_EQ(e->ExtensionStamp, 0x01500012u);
    EXPECT_EQ(e->FunctionalDeviceObject, stack_->fdo());
    EXPECT_EQ(e->PhysicalDeviceObject, stack_->pdo());
    EXPECT_EQ(e->LowerDeviceObject, stack_->pdo());
    EXPECT_EQ(e->QueueState, ULONG(HoldRequests));
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
    ASSERT_EQ(stack_->AddDevice(), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = stack_->fdo();
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
    ASSERT_EQ(stack_->AddDevice(), STATUS_SUCCESS);
    auto interfaces = emu::DeviceInterfacesOf(stack_->pdo());
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(emu::GuidText(interfaces[0].interfaceClass), u"{7e5d8da7-540b-4940-a4df-9383a9a1c215}");
    UNICODE_STRING& link = stack_->extension()->InterfaceLinkName;
    EXPECT_EQ(std::u16string(link.Buffer, link.Length / 2), interfaces[0].linkName);
}

TEST_F(DeviceCreationTest, AddDeviceLeavesItsEntryInTheEventLog)
{
    TraceRecorder trace(sys());
    ASSERT_EQ(stack_->AddDevice(), STATUS_SUCCESS);
    PDEVICE_EXTENSION e = stack_->extension();
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
    ASSERT_EQ(stack_->AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(stack_->extension()->LogEntries, nullptr);
    EXPECT_TRUE(trace.Contains("Tesmo.c:PnPAddDevice-InitCircularLog failed with status = 0xc000009a\n"));
}

// Numbers: every AddDevice that got its name buffer takes the next number,
// whether it succeeds or not; one that did not get the buffer takes none.
TEST(DeviceNumberingTest, NumbersCountAttemptsThatGotTheirNameBuffer)
{
    emu::System system(TestSystemOptions());
    {
        emu::usb::CommandInstrument first, second, third, fourth;
        DriverStack one(system, first);
        ASSERT_EQ(one.AddDevice(), STATUS_SUCCESS);
        EXPECT_EQ(emu::DeviceName(one.fdo()), u"\\Device\\Tesmo1");

        // A device already named \Device\Tesmo2 makes the second IoCreateDevice fail.
        TestDriver squatter(system, u"Squatter");
        PDEVICE_OBJECT squat = nullptr;
        UNICODE_STRING taken;
        RtlInitUnicodeString(&taken, u"\\Device\\Tesmo2");
        ASSERT_EQ(IoCreateDevice(squatter.object(), 0, &taken, FILE_DEVICE_UNKNOWN, 0, FALSE, &squat), STATUS_SUCCESS);
        emu::usb::Bus& bus = one.bus();
        PDEVICE_OBJECT pdo2 = bus.Plug(second).pdo();
        EXPECT_EQ(one.driver().object()->DriverExtension->AddDevice(one.driver().object(), pdo2),
                  STATUS_OBJECT_NAME_COLLISION);
        IoDeleteDevice(squat);

        // No name buffer: no number.
        PDEVICE_OBJECT pdo3 = bus.Plug(third).pdo();
        system.faults().FailNth(emu::FaultSite::Pool, 1);
        EXPECT_EQ(one.driver().object()->DriverExtension->AddDevice(one.driver().object(), pdo3),
                  STATUS_INSUFFICIENT_RESOURCES);

        PDEVICE_OBJECT pdo4 = bus.Plug(fourth).pdo();
        ASSERT_EQ(one.driver().object()->DriverExtension->AddDevice(one.driver().object(), pdo4), STATUS_SUCCESS);
        EXPECT_EQ(emu::DeviceName(pdo4->AttachedDevice), u"\\Device\\Tesmo3");
        TopLevelIrp remove(pdo4->AttachedDevice, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        remove.Send();
    }
    system.Shutdown();
    ExpectNoViolations(system.verifier());
}

}  // namespace
}  // namespace tesmo::test
