// What the bus driver answers for its PDO: the PnP requests a bus owns,
// those it passes back untouched, the identity of the device and its
// capabilities.
#include <gtest/gtest.h>

#include "TestDriver.h"
#include "UsbTestSupport.h"
#include "emu/Devices.h"

namespace tesmo::test {
namespace {

using namespace emu::usb;

constexpr NTSTATUS kUntouched = static_cast<NTSTATUS>(0xC0DE0001);
constexpr ULONG_PTR kUntouchedInformation = 0x1234;

class PnpTest : public UsbBusTest {
protected:
    // Sends a PnP request whose status block carries sentinels; returns the
    // status it came back with.
    NTSTATUS Send(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill = {},
                  ULONG_PTR* information = nullptr, NTSTATUS arrival = kUntouched)
    {
        TopLevelIrp request(pdo(), IRP_MJ_PNP, minor);
        request.irp()->IoStatus.Status = arrival;
        request.irp()->IoStatus.Information = kUntouchedInformation;
        if (fill) fill(request.stack());
        NTSTATUS returned = request.Send();
        EXPECT_TRUE(request.completed());
        EXPECT_EQ(returned, request.finalStatus());
        if (information) *information = request.irp()->IoStatus.Information;
        return request.finalStatus();
    }
    std::u16string QueryId(BUS_QUERY_ID_TYPE type)
    {
        ULONG_PTR information = 0;
        EXPECT_EQ(Send(IRP_MN_QUERY_ID, [&](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; },
                       &information),
                  STATUS_SUCCESS);
        auto* text = reinterpret_cast<const char16_t*>(information);
        std::u16string all;  // every string with its terminator, up to the empty one of a multi-sz
        for (const char16_t* at = text; *at; at += std::char_traits<char16_t>::length(at) + 1) {
            all += std::u16string(at) + u'|';
            if (type == BusQueryDeviceID || type == BusQueryInstanceID) break;
        }
        ExFreePool(text_cast(information));
        return all;
    }
    static PVOID text_cast(ULONG_PTR information) { return reinterpret_cast<PVOID>(information); }
    DEVICE_CAPABILITIES QueryCapabilities(NTSTATUS expected, USHORT version = 1,
                                          USHORT size = sizeof(DEVICE_CAPABILITIES))
    {
        DEVICE_CAPABILITIES caps{};
        caps.Version = version;
        caps.Size = size;
        caps.SurpriseRemovalOK = 1;  // as the function driver sets it on the way down
        EXPECT_EQ(Send(IRP_MN_QUERY_CAPABILITIES,
                       [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; }),
                  expected);
        return caps;
    }
};

struct MinorCase {
    const char* label;
    UCHAR minor;
    int parameter;  // relation type or ID type where the minor has one
};
void PrintTo(const MinorCase& c, std::ostream* out) { *out << c.label; }

class UnhandledMinor : public PnpTest, public ::testing::WithParamInterface<MinorCase> {};

TEST_P(UnhandledMinor, ComesBackWithItsStatusBlockUntouched)
{
    Plug();
    const MinorCase& c = GetParam();
    ULONG_PTR information = 0;
    NTSTATUS status = Send(
        c.minor, [&](PIO_STACK_LOCATION sp) { sp->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(c.parameter); },
        &information, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(information, kUntouchedInformation);
    auto log = device_->PnpLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].minor, c.minor);
    EXPECT_EQ(log[0].statusOnArrival, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(log[0].completedWith, STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(TakeViolations(emu::Rule::UnhandledIrpStatusChanged).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Minors, UnhandledMinor,
    ::testing::Values(MinorCase{"query_resources", IRP_MN_QUERY_RESOURCES, 0},
                      MinorCase{"query_resource_requirements", IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0},
                      MinorCase{"query_device_text", IRP_MN_QUERY_DEVICE_TEXT, 0},
                      MinorCase{"query_interface", IRP_MN_QUERY_INTERFACE, 0},
                      MinorCase{"query_pnp_device_state", IRP_MN_QUERY_PNP_DEVICE_STATE, 0},
                      MinorCase{"query_bus_information", IRP_MN_QUERY_BUS_INFORMATION, 0},
                      MinorCase{"device_usage_notification", IRP_MN_DEVICE_USAGE_NOTIFICATION, 0},
                      MinorCase{"bus_relations", IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations},
                      MinorCase{"removal_relations", IRP_MN_QUERY_DEVICE_RELATIONS, RemovalRelations},
                      MinorCase{"serial_number_id", IRP_MN_QUERY_ID, BusQueryDeviceSerialNumber}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(PnpTest, AnUnhandledMinorWhoseStatusWasChangedOnTheWayIsReported)
{
    Plug();
    EXPECT_EQ(Send(IRP_MN_QUERY_RESOURCES, {}, nullptr, STATUS_SUCCESS), STATUS_SUCCESS);
    EXPECT_EQ(TakeViolations(emu::Rule::UnhandledIrpStatusChanged).size(), 1u);
}

TEST_F(PnpTest, StateChangesAreAnsweredWithSuccess)
{
    Plug();
    for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                        IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL}) {
        EXPECT_EQ(Send(minor), STATUS_SUCCESS) << "minor " << int(minor);
    }
    EXPECT_EQ(device_->PnpLog().size(), 7u);
}

TEST_F(PnpTest, ThePdoIsReadyAndNamedByItsIds)
{
    Plug();
    EXPECT_TRUE(pdo()->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(pdo()->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(emu::DeviceInstancePath(pdo()), u"USB\\VID_7E5D&PID_0007\\1");
    EXPECT_EQ(QueryId(BusQueryDeviceID), u"USB\\VID_7E5D&PID_0007|");
    EXPECT_EQ(QueryId(BusQueryHardwareIDs), u"USB\\VID_7E5D&PID_0007&REV_0150|USB\\VID_7E5D&PID_0007|");
    EXPECT_EQ(QueryId(BusQueryCompatibleIDs), u"USB\\Class_ff&SubClass_00&Prot_00|USB\\Class_ff&SubClass_00|USB\\Class_ff|");
    EXPECT_EQ(QueryId(BusQueryInstanceID), u"1|");
}

TEST_F(PnpTest, TargetRelationIsThePdoWithAReference)
{
    Plug();
    ULONG_PTR information = 0;
    EXPECT_EQ(Send(IRP_MN_QUERY_DEVICE_RELATIONS,
                   [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; },
                   &information),
              STATUS_SUCCESS);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    ASSERT_NE(relations, nullptr);
    EXPECT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], pdo());
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);
}

TEST_F(PnpTest, CapabilitiesComeFromTheConfiguration)
{
    DeviceConfig config;
    config.capabilities.deviceState[PowerSystemSleeping1] = PowerDeviceD2;
    Plug(config);
    DEVICE_CAPABILITIES caps = QueryCapabilities(STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemUnspecified], PowerDeviceUnspecified);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD2);
    EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);
    EXPECT_TRUE(caps.DeviceD2);
    EXPECT_FALSE(caps.DeviceD1);
    EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified) << "no remote wake-up in the descriptor";
    EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
    EXPECT_TRUE(caps.Removable);
    EXPECT_TRUE(caps.SurpriseRemovalOK) << "what came down stays";
}

TEST_F(PnpTest, RemoteWakeupAndOverridesShowInCapabilities)
{
    DeviceConfig config;
    config.descriptors = DescriptorBuilder().RemoteWakeup(true).Interface({0, 0, 0xFF, 0, 0, {}}).Build();
    config.capabilities.surpriseRemovalOk = false;
    Plug(config);
    DEVICE_CAPABILITIES caps = QueryCapabilities(STATUS_SUCCESS);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
    EXPECT_TRUE(caps.WakeFromD2);
    EXPECT_FALSE(caps.WakeFromD3);
    EXPECT_FALSE(caps.SurpriseRemovalOK);
}

TEST_F(PnpTest, CapabilityQueriesCanFail)
{
    DeviceConfig config;
    config.capabilities.failWith = STATUS_DEVICE_DATA_ERROR;
    Plug(config);
    QueryCapabilities(STATUS_DEVICE_DATA_ERROR);
    DEVICE_CAPABILITIES tooOld = QueryCapabilities(STATUS_UNSUCCESSFUL, 0);
    EXPECT_EQ(tooOld.DeviceState[PowerSystemWorking], PowerDeviceUnspecified) << "nothing filled in";
    QueryCapabilities(STATUS_UNSUCCESSFUL, 1, sizeof(DEVICE_CAPABILITIES) - 1);
}

}  // namespace
}  // namespace tesmo::test
