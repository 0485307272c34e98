// The registry routines drivers call: opening a device's hardware key, reading
// and writing values through a key handle, closing it, and the run-time
// library's write and delete of a value by a path relative to a well-known key.
//
// IRQL: PASSIVE_LEVEL for all of them (a violation otherwise). Handles are
// checked as a kernel-mode caller's are: the access a key was opened with is
// not checked again for kernel-mode callers, as on the platform.
#include <cstdio>
#include <cstring>

#include "KeyValueInformation.h"
#include "Kernel.h"
#include "Names.h"
#include "emu/Devices.h"
#include "emu/ExportEntry.h"

namespace emu::detail {
namespace {

constexpr ULONG kRegistryOptional = 0x80000000u;
constexpr ULONG kRegistryHandle = 0x40000000u;

// The full key path for a path relative to one of the well-known keys; empty
// (after a violation) for what the emulation does not model.
std::u16string KeyPathFor(ULONG relativeTo, PCWSTR path, const char* routine)
{
    if (relativeTo & kRegistryHandle) {
        Violation(Rule::NotModelled, nullptr, std::string(routine) + " with RTL_REGISTRY_HANDLE");
        return {};
    }
    std::u16string base;
    switch (relativeTo & ~kRegistryOptional) {
    case RTL_REGISTRY_ABSOLUTE: return TextOf(path);
    case RTL_REGISTRY_SERVICES: base = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services"; break;
    case RTL_REGISTRY_CONTROL: base = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control"; break;
    case RTL_REGISTRY_DEVICEMAP: base = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP"; break;
    default:
        Violation(Rule::NotModelled, nullptr,
                  std::string(routine) + " relative to well-known key " + std::to_string(relativeTo));
        return {};
    }
    std::u16string relative = TextOf(path);
    if (!relative.empty() && relative.front() == u'\\') relative.erase(0, 1);
    return relative.empty() ? base : base + u"\\" + relative;
}

}  // namespace
}  // namespace emu::detail

using namespace emu::detail;

extern "C" {

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK,
                                 PHANDLE DevInstRegKey)
{
    EMU_ENTRY(IoOpenDeviceRegistryKey);
    *DevInstRegKey = nullptr;
    if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE) {
        Violation(emu::Rule::NotModelled, nullptr,
                  "IoOpenDeviceRegistryKey for key type " + std::to_string(DevInstKeyType) +
                      "; only the device's hardware key (PLUGPLAY_REGKEY_DEVICE) is modelled");
        return STATUS_INVALID_PARAMETER;
    }
    // Only the bus's physical device object names a device node.
    if (emu::PhysicalDeviceOf(DeviceObject) != DeviceObject) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string instancePath = emu::DeviceInstancePath(DeviceObject);
    if (instancePath.empty()) return STATUS_INVALID_PARAMETER;
    std::u16string path = DeviceParametersPath(instancePath);
    // The Plug and Play manager made the device's keys when it found the device.
    K().registry.CreateKeyPath(path);
    *DevInstRegKey = K().registry.Open(path);
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength)
{
    EMU_ENTRY(ZwQueryValueKey);
    auto path = K().registry.PathOf(KeyHandle);
    if (!path) return STATUS_INVALID_HANDLE;
    if (KeyValueInformationClass != KeyValueBasicInformation && KeyValueInformationClass != KeyValueFullInformation &&
        KeyValueInformationClass != KeyValuePartialInformation) {
        Violation(emu::Rule::NotModelled, nullptr,
                  "ZwQueryValueKey with information class " + std::to_string(KeyValueInformationClass));
        return STATUS_INVALID_PARAMETER;
    }
    auto value = K().registry.Value(*path, TextOf(ValueName));
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    return WriteKeyValueInformation(KeyValueInformationClass, value->first, value->second, KeyValueInformation,
                                    Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data, ULONG DataSize)
{
    EMU_ENTRY(ZwSetValueKey);
    auto path = K().registry.PathOf(KeyHandle);
    if (!path) return STATUS_INVALID_HANDLE;
    if (!Data && DataSize) return STATUS_INVALID_PARAMETER;
    emu::RegistryValue value;
    value.type = Type;
    if (DataSize) value.data.assign(static_cast<std::uint8_t*>(Data), static_cast<std::uint8_t*>(Data) + DataSize);
    return K().registry.SetValue(*path, TextOf(ValueName), value);
}

NTSTATUS ZwClose(HANDLE Handle)
{
    EMU_ENTRY(ZwClose);
    return K().registry.Close(Handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength)
{
    EMU_ENTRY(RtlWriteRegistryValue);
    std::u16string path = KeyPathFor(RelativeTo, Path, "RtlWriteRegistryValue");
    if (path.empty()) return STATUS_INVALID_PARAMETER;
    // The key is created when missing; the key above it must exist.
    NTSTATUS status = K().registry.CreateKey(path);
    if (!NT_SUCCESS(status)) return status;
    if (!ValueData && ValueLength) return STATUS_INVALID_PARAMETER;
    emu::RegistryValue value;
    value.type = ValueType;
    if (ValueLength) {
        value.data.assign(static_cast<std::uint8_t*>(ValueData), static_cast<std::uint8_t*>(ValueData) + ValueLength);
    }
    return K().registry.SetValue(path, TextOf(ValueName), value);
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    EMU_ENTRY(RtlDeleteRegistryValue);
    std::u16string path = KeyPathFor(RelativeTo, Path, "RtlDeleteRegistryValue");
    if (path.empty()) return STATUS_INVALID_PARAMETER;
    return K().registry.DeleteValue(path, TextOf(ValueName));
}

}  // extern "C"
