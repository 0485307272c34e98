// What a device that cannot be created or started leaves behind: AddDevice
// refused half way by the system, a configuration shorter than its own
// header, a bus that answers the configuration with more pipes than the
// request had room for, a restart with another IN packet size, and a restart
// whose new port name is taken.
#include <gtest/gtest.h>

#include <functional>

#include "DeviceTest.h"
#include "FakeDevice.h"
#include "TestDriver.h"
#include "TraceRecorder.h"
#include "emu/DeviceInterfaces.h"
#include "emu/Devices.h"
#include "emu/Namespace.h"
#include "emu/Registry.h"

namespace tesmo::test {
namespace {

using StartFailureTest = BusDeviceTest;

// ---- AddDevice refused half way ----

enum class Refusal { InterfaceRegistration, Attach };

struct AddRefusalCase {
    const char* label;
    Refusal refusal;
    NTSTATUS status;
    bool interfaceRegistered;  // the refusal came after the registration
};
void PrintTo(const AddRefusalCase& c, std::ostream* out) { *out << c.label; }

class AddDeviceRefusal : public StartFailureTest, public ::testing::WithParamInterface<AddRefusalCase> {};

TEST_P(AddDeviceRefusal, ReportsTheRefusalAndLeavesNothingBehind)
{
    const AddRefusalCase& c = GetParam();
    PDEVICE_OBJECT pdo = stack().pdo();
    ObReferenceObject(pdo);  // the bus may delete its PDO; its memory stays for the checks
    if (c.refusal == Refusal::InterfaceRegistration) {
        // No instance path: the system cannot name the interface.
        emu::SetDeviceInstancePath(pdo, u"");
    } else {
        // The device is gone and removed: its PDO is being deleted, so
        // nothing can attach to it any more.
        usb().Unplug();
        TopLevelIrp remove(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        remove.Send();
        ASSERT_EQ(usb().pdo(), nullptr);
    }
    PDRIVER_OBJECT driver = this->driver().object();
    EXPECT_EQ(driver->DriverExtension->AddDevice(driver, pdo), c.status);

    EXPECT_EQ(driver->DeviceObject, nullptr) << "the device object was not deleted";
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(emu::LookUpDevice(u"\\Device\\Tesmo1"), nullptr);
    EXPECT_TRUE(sys().pool().OutstandingWithTag(TESMO_POOL_TAG).empty());
    auto interfaces = emu::DeviceInterfacesOf(pdo);
    EXPECT_EQ(interfaces.size(), c.interfaceRegistered ? 1u : 0u);
    for (const auto& interface : interfaces) EXPECT_FALSE(interface.enabled) << "left enabled";

    if (c.refusal == Refusal::InterfaceRegistration) emu::SetDeviceInstancePath(pdo, usb().InstancePath());
    ObDereferenceObject(pdo);
}

INSTANTIATE_TEST_SUITE_P(Steps, AddDeviceRefusal,
                         ::testing::Values(AddRefusalCase{"interface_registration", Refusal::InterfaceRegistration,
                                                          STATUS_INVALID_PARAMETER, false},
                                           AddRefusalCase{"attach", Refusal::Attach, STATUS_DELETE_PENDING, true}),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- configurations the driver must not trust ----

struct HeaderCase {
    const char* label;
    USHORT totalLength;
};
void PrintTo(const HeaderCase& c, std::ostream* out) { *out << c.label; }

class ShortConfiguration : public StartFailureTest, public ::testing::WithParamInterface<HeaderCase> {
protected:
    emu::usb::DeviceConfig Config() const override
    {
        emu::usb::DeviceConfig config;
        config.descriptors.configuration[2] = static_cast<std::uint8_t>(GetParam().totalLength);
        config.descriptors.configuration[3] = static_cast<std::uint8_t>(GetParam().totalLength >> 8);
        return config;
    }
};

TEST_P(ShortConfiguration, FailsTheStartWithADataError)
{
    EXPECT_EQ(stack().Plug(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(pnp().Info(node()).removed);
    EXPECT_EQ(usb().UrbsReceived(URB_FUNCTION_SELECT_CONFIGURATION), 0u) << "configured from a header it cannot trust";
}

INSTANTIATE_TEST_SUITE_P(TotalLengths, ShortConfiguration,
                         ::testing::Values(HeaderCase{"zero", 0}, HeaderCase{"one_byte_short_of_the_header", 8}),
                         [](const auto& info) { return std::string(info.param.label); });

// A lower filter that passes everything down and, on the way back, edits
// the bus's answer to each configuration request as the test says.
class SelectionEditingFilter {
public:
    using Edit = std::function<void(_URB_SELECT_CONFIGURATION& answer, unsigned selection)>;

    SelectionEditingFilter(emu::System& system, PDEVICE_OBJECT pdo, Edit edit)
        : driver_(system, u"Editor"), pdo_(pdo), edit_(std::move(edit))
    {
        driver_.CreateDevice(pdo);
        driver_.OnAny([this](PDEVICE_OBJECT, PIRP irp) { return Filter(irp); });
    }

private:
    NTSTATUS Filter(PIRP irp)
    {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
            sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
            return PassDown(pdo_, irp);
        }
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, EditAnswer, this, TRUE, TRUE, TRUE);
        return IoCallDriver(pdo_, irp);
    }
    static NTSTATUS NTAPI EditAnswer(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* self = static_cast<SelectionEditingFilter*>(context);
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        if (NT_SUCCESS(irp->IoStatus.Status) && urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) {
            self->edit_(urb->UrbSelectConfiguration, ++self->selections_);
        }
        return STATUS_SUCCESS;
    }

    TestDriver driver_;
    PDEVICE_OBJECT pdo_;
    Edit edit_;
    unsigned selections_ = 0;
};

PUSBD_INTERFACE_INFORMATION NextInterface(PUSBD_INTERFACE_INFORMATION interface)
{
    return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(interface) + interface->Length);
}

PUSBD_INTERFACE_INFORMATION LastInterface(_URB_SELECT_CONFIGURATION& answer)
{
    PUSBD_INTERFACE_INFORMATION last = &answer.Interface;
    for (UCHAR i = 1; i < answer.ConfigurationDescriptor->bNumInterfaces; ++i) last = NextInterface(last);
    return last;
}

void ForEachPipe(_URB_SELECT_CONFIGURATION& answer, const std::function<void(USBD_PIPE_INFORMATION&)>& edit)
{
    PUSBD_INTERFACE_INFORMATION interface = &answer.Interface;
    for (UCHAR i = 0; i < answer.ConfigurationDescriptor->bNumInterfaces; ++i, interface = NextInterface(interface)) {
        for (ULONG pipe = 0; pipe < interface->NumberOfPipes; ++pipe) edit(interface->Pipes[pipe]);
    }
}

// The request was allocated for the pipes the descriptor declares: a walk that
// believed the answer would read (and write) past its end.
TEST_F(StartFailureTest, AnAnswerWithMorePipesThanTheRequestHadRoomForFailsTheStart)
{
    SelectionEditingFilter filter(sys(), stack().pdo(), [](_URB_SELECT_CONFIGURATION& answer, unsigned) {
        ++LastInterface(answer)->NumberOfPipes;
    });
    EXPECT_EQ(stack().Plug(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(usb().UrbsReceived(URB_FUNCTION_SELECT_CONFIGURATION), 1u);
    EXPECT_TRUE(pnp().Info(node()).removed);
}

// The reassembly buffer was sized for the first start's IN packets: a restart
// whose IN pipe now takes larger ones is refused rather than resizing it
// under a reader.
TEST_F(StartFailureTest, ARestartWithAnotherInPacketSizeIsRefused)
{
    SelectionEditingFilter filter(sys(), stack().pdo(), [](_URB_SELECT_CONFIGURATION& answer, unsigned selection) {
        if (selection < 2) return;
        ForEachPipe(answer, [](USBD_PIPE_INFORMATION& pipe) {
            if (pipe.PipeType == UsbdPipeTypeBulk && USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress)) {
                pipe.MaximumPacketSize *= 2;
            }
        });
    });
    ASSERT_EQ(stack().Plug(), STATUS_SUCCESS);
    TraceRecorder trace(sys());
    EXPECT_EQ(pnp().Rebalance(node()), STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(pnp().Info(node()).removed);
    EXPECT_TRUE(trace.Contains("Usb.c:SelectConfiguration-bulk IN packet size changed from 64 to 128\n"))
        << "the refusal names both sizes";
    EXPECT_TRUE(sys().pool().OutstandingWithTag(TESMO_POOL_TAG).empty());
}

// ---- a restart under a new port name ----

// The new name's link cannot be created: the start fails after the old link
// went, and the removal that follows must not free or delete it again.
TEST_F(StartFailureTest, ARestartWhoseNewLinkIsTakenFreesNothingTwiceAtRemoval)
{
    ASSERT_EQ(stack().Plug(), STATUS_SUCCESS);
    FakeDevice squatter(sys(), FakeDeviceOptions{.name = u"\\Device\\Squatter", .link = u"\\DosDevices\\COM9"});
    emu::SetDeviceRegistryValue(stack().pdo(), u"PortName", emu::RegistryValue::String(u"COM9"));

    // The failed restart is torn down at once: its REMOVE frees what is left.
    EXPECT_EQ(pnp().Rebalance(node()), STATUS_OBJECT_NAME_COLLISION);

    EXPECT_TRUE(TakeViolations(emu::Rule::PoolDoubleFree).empty());
    EXPECT_EQ(emu::SymbolicLinkTarget(u"\\DosDevices\\COM9"), u"\\Device\\Squatter") << "another device's link went";
    EXPECT_FALSE(emu::SymbolicLinkTarget(u"\\DosDevices\\COM3"));
    EXPECT_TRUE(sys().pool().OutstandingWithTag(TESMO_POOL_TAG).empty());
}

}  // namespace
}  // namespace tesmo::test
