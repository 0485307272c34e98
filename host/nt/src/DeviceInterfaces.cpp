// Device interfaces: registration names an interface of a device by its
// instance path, class GUID and reference string; the link name is made from
// them in the platform's form; enabling and disabling are tracked per link.
#include "DeviceInterfaces.h"

#include <cstdio>
#include <cstring>

#include "Kernel.h"
#include "Names.h"
#include "emu/Devices.h"
#include "emu/ExportEntry.h"
#include "emu/Threads.h"

namespace emu {

std::u16string GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::u16string(text, text + std::strlen(text));
}

}  // namespace emu

namespace emu::detail {
namespace {

constexpr std::uint32_t kLinkNameTag = TagFromText("IoDi");

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// \??\<instance path, '\' as '#'>#{guid}[\<reference string>]
std::u16string LinkNameOf(const std::u16string& instancePath, const GUID& interfaceClass,
                          const std::u16string& referenceString)
{
    std::u16string link = u"\\??\\";
    for (char16_t c : instancePath) link.push_back(c == u'\\' ? u'#' : c);
    // Appended piece by piece: GCC 12 at -O3 takes the temporary of
    // u"#" + text for an overlapping copy (-Wrestrict), a false positive.
    link += u'#';
    link += GuidText(interfaceClass);
    if (!referenceString.empty()) {
        link += u'\\';
        link += referenceString;
    }
    return link;
}

}  // namespace

std::u16string DeviceInterfaceTable::Register(const std::u16string& instancePath, const GUID& interfaceClass,
                                              const std::u16string& referenceString)
{
    std::lock_guard lock(mutex_);
    for (const Entry& entry : entries_) {
        if (SameName(entry.instancePath, instancePath) && SameGuid(entry.interface.interfaceClass, interfaceClass) &&
            SameName(entry.interface.referenceString, referenceString)) {
            return entry.interface.linkName;
        }
    }
    std::u16string link = LinkNameOf(instancePath, interfaceClass, referenceString);
    entries_.push_back({instancePath, {interfaceClass, referenceString, link, false}});
    return link;
}

DeviceInterfaceTable::Entry* DeviceInterfaceTable::Find(const std::u16string& linkName)
{
    for (Entry& entry : entries_) {
        if (SameName(entry.interface.linkName, linkName)) return &entry;
    }
    return nullptr;
}

NTSTATUS DeviceInterfaceTable::SetState(const std::u16string& linkName, bool enable)
{
    std::lock_guard lock(mutex_);
    Entry* entry = Find(linkName);
    if (!entry) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (entry->interface.enabled == enable) return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
    entry->interface.enabled = enable;
    return STATUS_SUCCESS;
}

std::vector<DeviceInterface> DeviceInterfaceTable::OfInstance(const std::u16string& instancePath)
{
    std::lock_guard lock(mutex_);
    std::vector<DeviceInterface> found;
    for (const Entry& entry : entries_) {
        if (SameName(entry.instancePath, instancePath)) found.push_back(entry.interface);
    }
    return found;
}

std::vector<DeviceInterface> DeviceInterfaceTable::OfClass(const GUID& interfaceClass)
{
    std::lock_guard lock(mutex_);
    std::vector<DeviceInterface> found;
    for (const Entry& entry : entries_) {
        if (SameGuid(entry.interface.interfaceClass, interfaceClass)) found.push_back(entry.interface);
    }
    return found;
}

std::optional<DeviceInterface> DeviceInterfaceTable::ByLink(const std::u16string& linkName)
{
    std::lock_guard lock(mutex_);
    Entry* entry = Find(linkName);
    if (!entry) return std::nullopt;
    return entry->interface;
}

}  // namespace emu::detail

namespace emu {

std::vector<DeviceInterface> DeviceInterfacesOf(_DEVICE_OBJECT* device)
{
    std::u16string instancePath = DeviceInstancePath(device);
    if (instancePath.empty()) return {};
    return detail::K().interfaces.OfInstance(instancePath);
}

std::vector<DeviceInterface> DeviceInterfacesOfClass(const GUID& interfaceClass)
{
    return detail::K().interfaces.OfClass(interfaceClass);
}

std::optional<DeviceInterface> DeviceInterfaceByLink(const std::u16string& linkName)
{
    return detail::K().interfaces.ByLink(linkName);
}

}  // namespace emu

using namespace emu::detail;

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, CONST GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    EMU_ENTRY(IoRegisterDeviceInterface);
    if (!PhysicalDeviceObject || !InterfaceClassGuid || !SymbolicLinkName) return STATUS_INVALID_PARAMETER;
    // Only the bus's physical device object names a device node.
    if (emu::PhysicalDeviceOf(PhysicalDeviceObject) != PhysicalDeviceObject) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string instancePath = emu::DeviceInstancePath(PhysicalDeviceObject);
    if (instancePath.empty()) return STATUS_INVALID_PARAMETER;

    std::u16string link = K().interfaces.Register(instancePath, *InterfaceClassGuid, TextOf(ReferenceString));
    std::size_t bytes = link.size() * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > MAXUSHORT) return STATUS_INVALID_PARAMETER;
    // The caller releases the name with RtlFreeUnicodeString.
    auto* buffer = static_cast<PWSTR>(
        K().pool.Allocate(PagedPool, bytes + sizeof(WCHAR), kLinkNameTag, __builtin_return_address(0)));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.data(), bytes);
    buffer[link.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    EMU_ENTRY(IoSetDeviceInterfaceState);
    if (!SymbolicLinkName || !SymbolicLinkName->Buffer) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = K().interfaces.SetState(TextOf(SymbolicLinkName), Enable != FALSE);
    emu::NotifyStateChanged();
    return status;
}

}  // extern "C"
