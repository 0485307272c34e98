// The registry of one emulated system: keys by path, their values, and the
// handles drivers hold on them. Private to the emulation.
//
// Thread-safe: one mutex guards keys and handles; it is never held while
// anything outside this class runs.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emu/Registry.h"
#include "emu_ntdef.h"

namespace emu::detail {

class Registry {
public:
    Registry();  // with the standard keys

    bool KeyExists(const std::u16string& path);
    // Creates one key; its parent must exist (STATUS_OBJECT_NAME_NOT_FOUND).
    NTSTATUS CreateKey(const std::u16string& path);
    // Creates the key and every missing key above it.
    void CreateKeyPath(const std::u16string& path);

    // The key must exist (STATUS_OBJECT_NAME_NOT_FOUND).
    NTSTATUS SetValue(const std::u16string& path, const std::u16string& name, const RegistryValue& value);
    // The value and its name as stored.
    std::optional<std::pair<std::u16string, RegistryValue>> Value(const std::u16string& path,
                                                                  const std::u16string& name);
    // STATUS_OBJECT_NAME_NOT_FOUND for a missing key or value.
    NTSTATUS DeleteValue(const std::u16string& path, const std::u16string& name);
    std::vector<std::pair<std::u16string, RegistryValue>> Values(const std::u16string& path);

    // Handles of open keys; a closed handle is never handed out again.
    HANDLE Open(const std::u16string& path);
    std::optional<std::u16string> PathOf(HANDLE handle);
    bool Close(HANDLE handle);
    // (handle, key path) for every open handle.
    std::vector<std::pair<HANDLE, std::u16string>> OpenHandles();

private:
    struct Key {
        std::u16string path;  // as created
        std::vector<std::pair<std::u16string, RegistryValue>> values;  // in creation order
    };
    Key* Find(const std::u16string& path);  // mutex held
    void CreatePathLocked(const std::u16string& path);

    std::mutex mutex_;
    std::map<std::u16string, Key> keys_;  // by folded path
    std::map<std::uintptr_t, std::u16string> handles_;
    std::uintptr_t nextHandle_;
};

// The full path of the "Device Parameters" key of an instance path.
std::u16string DeviceParametersPath(const std::u16string& instancePath);

}  // namespace emu::detail

namespace emu::detail {

class Kernel;
// At shutdown: every key handle still open is a leak; reported and closed.
void ReportOpenRegistryKeys(Kernel& kernel);

}  // namespace emu::detail
