// The host's view of the registry: typed values, a device's hardware key, the
// device map, and the open key handles.
#include <cstdio>
#include <cstring>

#include "Kernel.h"
#include "Names.h"
#include "emu/Devices.h"

namespace emu {

namespace {

const std::u16string kDeviceMap = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP";

std::u16string InstancePathOrComplain(_DEVICE_OBJECT* device, const char* what)
{
    std::u16string instancePath = DeviceInstancePath(device);
    if (instancePath.empty()) {
        detail::Violation(Rule::NotModelled, nullptr,
                          std::string(what) + " for a device whose stack has no instance path (set by its bus)");
    }
    return instancePath;
}

}  // namespace

RegistryValue RegistryValue::String(std::u16string_view text)
{
    RegistryValue value;
    value.type = 1;  // REG_SZ
    value.data.resize((text.size() + 1) * sizeof(char16_t), 0);
    std::memcpy(value.data.data(), text.data(), text.size() * sizeof(char16_t));
    return value;
}

RegistryValue RegistryValue::Dword(std::uint32_t number)
{
    RegistryValue value;
    value.type = 4;  // REG_DWORD
    value.data.resize(sizeof number);
    std::memcpy(value.data.data(), &number, sizeof number);
    return value;
}

RegistryValue RegistryValue::Binary(std::vector<std::uint8_t> bytes)
{
    RegistryValue value;
    value.type = 3;  // REG_BINARY
    value.data = std::move(bytes);
    return value;
}

std::u16string RegistryValue::Text() const
{
    std::u16string text(data.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), data.data(), text.size() * sizeof(char16_t));
    auto end = text.find(u'\0');
    if (end != std::u16string::npos) text.resize(end);
    return text;
}

std::u16string DeviceParametersKey(_DEVICE_OBJECT* device)
{
    std::u16string instancePath = InstancePathOrComplain(device, "a device registry key");
    return instancePath.empty() ? std::u16string() : detail::DeviceParametersPath(instancePath);
}

void SetDeviceRegistryValue(_DEVICE_OBJECT* device, const std::u16string& name, const RegistryValue& value)
{
    std::u16string key = DeviceParametersKey(device);
    if (!key.empty()) SetRegistryValue(key, name, value);
}

std::optional<RegistryValue> DeviceRegistryValue(_DEVICE_OBJECT* device, const std::u16string& name)
{
    std::u16string key = DeviceParametersKey(device);
    if (key.empty()) return std::nullopt;
    return RegistryValueAt(key, name);
}

bool DeleteDeviceRegistryValue(_DEVICE_OBJECT* device, const std::u16string& name)
{
    std::u16string key = DeviceParametersKey(device);
    return !key.empty() && NT_SUCCESS(detail::K().registry.DeleteValue(key, name));
}

std::map<std::u16string, RegistryValue> DeviceMapValues(const std::u16string& key)
{
    std::map<std::u16string, RegistryValue> values;
    for (auto& [name, value] : detail::K().registry.Values(kDeviceMap + u"\\" + key)) values.emplace(name, value);
    return values;
}

void SetRegistryValue(const std::u16string& keyPath, const std::u16string& name, const RegistryValue& value)
{
    auto& registry = detail::K().registry;
    registry.CreateKeyPath(keyPath);
    registry.SetValue(keyPath, name, value);
}

std::optional<RegistryValue> RegistryValueAt(const std::u16string& keyPath, const std::u16string& name)
{
    auto found = detail::K().registry.Value(keyPath, name);
    if (!found) return std::nullopt;
    return found->second;
}

std::vector<std::u16string> OpenRegistryKeys()
{
    std::vector<std::u16string> keys;
    for (auto& [handle, path] : detail::K().registry.OpenHandles()) keys.push_back(path);
    return keys;
}

}  // namespace emu

namespace emu::detail {

void ReportOpenRegistryKeys(Kernel& kernel)
{
    for (auto& [handle, path] : kernel.registry.OpenHandles()) {
        char text[40];
        std::snprintf(text, sizeof text, "%p", handle);
        kernel.verifier.Report(Rule::HandleLeak, nullptr,
                               std::string("registry key handle ") + text + " on " + Narrow(path) +
                                   " was never closed");
        kernel.registry.Close(handle);
    }
}

}  // namespace emu::detail
