// The registry store: keys by case-folded path, values in creation order, and
// key handles.
#include "Registry.h"

#include "Names.h"

namespace emu::detail {
namespace {

// Kernel handles have the top bit set on the platform; the emulation counts
// them up from there and never reuses one, so a closed handle stays invalid.
constexpr std::uintptr_t kFirstHandle = 0xFFFFFFFF80000004ull;

std::u16string Normalised(std::u16string path)
{
    while (path.size() > 1 && path.back() == u'\\') path.pop_back();
    return path;
}

std::u16string ParentOf(const std::u16string& path)
{
    auto at = path.rfind(u'\\');
    return at == 0 || at == std::u16string::npos ? std::u16string() : path.substr(0, at);
}

}  // namespace

std::u16string DeviceParametersPath(const std::u16string& instancePath)
{
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + instancePath + u"\\Device Parameters";
}

Registry::Registry() : nextHandle_(kFirstHandle)
{
    for (const char16_t* path : {u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP",
                                 u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
                                 u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
                                 u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum"}) {
        CreatePathLocked(path);
    }
}

Registry::Key* Registry::Find(const std::u16string& path)
{
    auto it = keys_.find(FoldCase(Normalised(path)));
    return it == keys_.end() ? nullptr : &it->second;
}

void Registry::CreatePathLocked(const std::u16string& path)
{
    std::u16string normal = Normalised(path);
    if (normal.empty() || Find(normal)) return;
    CreatePathLocked(ParentOf(normal));
    keys_.emplace(FoldCase(normal), Key{normal, {}});
}

bool Registry::KeyExists(const std::u16string& path)
{
    std::lock_guard lock(mutex_);
    return Find(path) != nullptr;
}

NTSTATUS Registry::CreateKey(const std::u16string& path)
{
    std::lock_guard lock(mutex_);
    std::u16string normal = Normalised(path);
    if (Find(normal)) return STATUS_SUCCESS;
    if (!Find(ParentOf(normal))) return STATUS_OBJECT_NAME_NOT_FOUND;
    keys_.emplace(FoldCase(normal), Key{normal, {}});
    return STATUS_SUCCESS;
}

void Registry::CreateKeyPath(const std::u16string& path)
{
    std::lock_guard lock(mutex_);
    CreatePathLocked(path);
}

NTSTATUS Registry::SetValue(const std::u16string& path, const std::u16string& name, const RegistryValue& value)
{
    std::lock_guard lock(mutex_);
    Key* key = Find(path);
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    for (auto& [stored, existing] : key->values) {
        if (SameName(stored, name)) {
            existing = value;
            return STATUS_SUCCESS;
        }
    }
    key->values.emplace_back(name, value);
    return STATUS_SUCCESS;
}

std::optional<std::pair<std::u16string, RegistryValue>> Registry::Value(const std::u16string& path,
                                                                        const std::u16string& name)
{
    std::lock_guard lock(mutex_);
    Key* key = Find(path);
    if (!key) return std::nullopt;
    for (auto& entry : key->values) {
        if (SameName(entry.first, name)) return entry;
    }
    return std::nullopt;
}

NTSTATUS Registry::DeleteValue(const std::u16string& path, const std::u16string& name)
{
    std::lock_guard lock(mutex_);
    Key* key = Find(path);
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (SameName(it->first, name)) {
            key->values.erase(it);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::vector<std::pair<std::u16string, RegistryValue>> Registry::Values(const std::u16string& path)
{
    std::lock_guard lock(mutex_);
    Key* key = Find(path);
    return key ? key->values : std::vector<std::pair<std::u16string, RegistryValue>>{};
}

HANDLE Registry::Open(const std::u16string& path)
{
    std::lock_guard lock(mutex_);
    Key* key = Find(path);
    if (!key) return nullptr;
    std::uintptr_t handle = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(handle, key->path);
    return reinterpret_cast<HANDLE>(handle);
}

std::optional<std::u16string> Registry::PathOf(HANDLE handle)
{
    std::lock_guard lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles_.end()) return std::nullopt;
    return it->second;
}

bool Registry::Close(HANDLE handle)
{
    std::lock_guard lock(mutex_);
    return handles_.erase(reinterpret_cast<std::uintptr_t>(handle)) != 0;
}

std::vector<std::pair<HANDLE, std::u16string>> Registry::OpenHandles()
{
    std::lock_guard lock(mutex_);
    std::vector<std::pair<HANDLE, std::u16string>> open;
    for (auto& [handle, path] : handles_) open.emplace_back(reinterpret_cast<HANDLE>(handle), path);
    return open;
}

}  // namespace emu::detail
