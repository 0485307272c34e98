// The object namespace as a reference: device names, symbolic links, the
// \DosDevices = \?? alias, case-insensitive lookup, and what each routine
// answers when a name is taken, missing or malformed.
#include <gtest/gtest.h>

#include "FakeDevice.h"
#include "SystemTest.h"
#include "emu/Namespace.h"

namespace tesmo::test {
namespace {

class ObjectNamespaceTest : public SystemTest {
protected:
    static NTSTATUS CreateLink(std::u16string link, std::u16string target)
    {
        UNICODE_STRING l{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2), link.data()};
        UNICODE_STRING t{static_cast<USHORT>(target.size() * 2), static_cast<USHORT>(target.size() * 2),
                         target.data()};
        return IoCreateSymbolicLink(&l, &t);
    }
    static NTSTATUS DeleteLink(std::u16string link)
    {
        UNICODE_STRING l{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2), link.data()};
        return IoDeleteSymbolicLink(&l);
    }
};

TEST_F(ObjectNamespaceTest, DosDevicesLinkIsFoundUnderQuestionMarksInAnyCase)
{
    FakeDevice fake(sys(), {.name = u"\\Device\\Tesmo1"});
    ASSERT_EQ(CreateLink(u"\\DosDevices\\COM3", u"\\Device\\Tesmo1"), STATUS_SUCCESS);

    EXPECT_EQ(emu::LookUpDevice(u"\\??\\com3"), fake.device());
    EXPECT_EQ(emu::LookUpDevice(u"\\GLOBAL??\\COM3"), fake.device());
    ASSERT_EQ(emu::SymbolicLinks().size(), 1u);
    EXPECT_EQ(emu::SymbolicLinks()[0].name, u"\\??\\COM3");
    EXPECT_EQ(emu::SymbolicLinkTarget(u"\\DosDevices\\Com3"), u"\\Device\\Tesmo1");
    EXPECT_EQ(DeleteLink(u"\\??\\COM3"), STATUS_SUCCESS);
    EXPECT_EQ(emu::LookUpDevice(u"\\??\\COM3"), nullptr);
}

struct NameCase {
    const char* label;
    std::u16string link;
    NTSTATUS expected;
};
void PrintTo(const NameCase& c, std::ostream* out) { *out << c.label; }

class LinkCreation : public ObjectNamespaceTest, public ::testing::WithParamInterface<NameCase> {};

// A device \Device\Tesmo1 and a link \??\COM3 exist when each case runs.
TEST_P(LinkCreation, AnswersWithThePlatformStatus)
{
    FakeDevice fake(sys(), {.name = u"\\Device\\Tesmo1", .link = u"\\DosDevices\\COM3"});
    EXPECT_EQ(CreateLink(GetParam().link, u"\\Device\\Tesmo1"), GetParam().expected);
    if (GetParam().expected == STATUS_SUCCESS) {
        EXPECT_EQ(DeleteLink(GetParam().link), STATUS_SUCCESS);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, LinkCreation,
    ::testing::Values(NameCase{"free name", u"\\DosDevices\\COM4", STATUS_SUCCESS},
                      NameCase{"same link other spelling", u"\\??\\com3", STATUS_OBJECT_NAME_COLLISION},
                      NameCase{"name of a device", u"\\Device\\TESMO1", STATUS_OBJECT_NAME_COLLISION},
                      NameCase{"a directory", u"\\DosDevices", STATUS_OBJECT_NAME_COLLISION},
                      NameCase{"unknown directory", u"\\Nowhere\\COM3", STATUS_OBJECT_PATH_NOT_FOUND},
                      NameCase{"relative name", u"COM5", STATUS_OBJECT_NAME_INVALID},
                      NameCase{"trailing separator", u"\\??\\COM5\\", STATUS_OBJECT_NAME_INVALID}),
    [](const auto& info) {
        std::string name = info.param.label;
        for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

TEST_F(ObjectNamespaceTest, DeletingAMissingLinkOrADeviceNameIsRefused)
{
    FakeDevice fake(sys(), {.name = u"\\Device\\Tesmo1"});
    EXPECT_EQ(DeleteLink(u"\\DosDevices\\COM9"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(DeleteLink(u"\\Device\\Tesmo1"), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(emu::LookUpDevice(u"\\Device\\Tesmo1"), fake.device());
}

TEST_F(ObjectNamespaceTest, DeviceNameIsTakenUntilTheDeviceIsDeleted)
{
    FakeDevice first(sys(), {.name = u"\\Device\\Tesmo1", .link = u"\\DosDevices\\COM3"});
    EXPECT_THROW(FakeDevice(sys(), {.name = u"\\Device\\tesmo1"}), std::runtime_error);

    first.DeleteDevice();
    EXPECT_EQ(emu::LookUpDevice(u"\\??\\COM3"), nullptr) << "the link dangles once the device is gone";
    FakeDevice second(sys(), {.name = u"\\Device\\Tesmo1"});
    EXPECT_EQ(emu::LookUpDevice(u"\\??\\COM3"), second.device()) << "links are resolved when used";
}

TEST_F(ObjectNamespaceTest, LinksToLinksAreFollowedAndLoopsEnd)
{
    FakeDevice fake(sys(), {.name = u"\\Device\\Tesmo1"});
    ASSERT_EQ(CreateLink(u"\\??\\A", u"\\DosDevices\\B"), STATUS_SUCCESS);
    ASSERT_EQ(CreateLink(u"\\??\\B", u"\\Device\\Tesmo1"), STATUS_SUCCESS);
    ASSERT_EQ(CreateLink(u"\\??\\Loop1", u"\\??\\Loop2"), STATUS_SUCCESS);
    ASSERT_EQ(CreateLink(u"\\??\\Loop2", u"\\??\\Loop1"), STATUS_SUCCESS);

    EXPECT_EQ(emu::LookUpDevice(u"\\??\\A"), fake.device());
    EXPECT_EQ(emu::LookUpDevice(u"\\??\\Loop1"), nullptr);
    for (auto name : {u"\\??\\A", u"\\??\\B", u"\\??\\Loop1", u"\\??\\Loop2"}) {
        EXPECT_EQ(DeleteLink(name), STATUS_SUCCESS);
    }
}

TEST_F(ObjectNamespaceTest, LinkLeftAtShutdownIsALeakNamingIt)
{
    ASSERT_EQ(CreateLink(u"\\DosDevices\\COM3", u"\\Device\\Tesmo1"), STATUS_SUCCESS);
    sys().Shutdown();
    auto leaks = TakeViolations(emu::Rule::HandleLeak);
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].message.find("\\??\\COM3 -> \\Device\\Tesmo1"), std::string::npos) << leaks[0].message;
}

TEST_F(ObjectNamespaceTest, LinkRoutinesRequirePassiveLevel)
{
    {
        emu::IrqlScope dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(CreateLink(u"\\??\\COM3", u"\\Device\\Tesmo1"), STATUS_SUCCESS);
        EXPECT_EQ(DeleteLink(u"\\??\\COM3"), STATUS_SUCCESS);
    }
    EXPECT_EQ(TakeViolations(emu::Rule::IrqlMisuse).size(), 2u);
}

}  // namespace
}  // namespace tesmo::test
