// A PE32+ kernel image mapped into the emulated kernel: the shipped
// tesmo.sys, built with mingw-w64 against the platform's DDK, run on the
// host as the platform's loader would run it. The headers are checked (x64,
// native subsystem), each section is mapped with its protection, the base
// relocations are applied, and every import is bound by module and name to
// the emulation's export of that name; an import the emulation lacks fails
// the load and names it. The emulation's exports take the platform's
// calling convention, so the image calls them, and is called back, as on
// the platform.
//
// Any thread at PASSIVE_LEVEL; the image holds no lock of the emulation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emu_ntddk.h"

namespace emu::detail {

class PeImage {
public:
    // Maps the image in `bytes`; null, with the reason in `error`, when the
    // image is not one the emulation can run.
    static std::unique_ptr<PeImage> Map(const std::vector<std::uint8_t>& bytes, std::string& error);
    ~PeImage();
    PeImage(const PeImage&) = delete;
    PeImage& operator=(const PeImage&) = delete;

    PDRIVER_INITIALIZE Entry() const { return entry_; }
    // After DriverEntry returned: the INIT section goes, as the platform's
    // loader discards it; a later touch of it faults.
    void DiscardInit();
    bool Contains(const void* address) const;
    std::uintptr_t base() const { return reinterpret_cast<std::uintptr_t>(base_); }

private:
    struct Section {
        std::string name;
        std::uint32_t address;  // relative to the base
        std::uint32_t size;
        std::uint32_t characteristics;
    };

    PeImage() = default;
    bool Load(const std::vector<std::uint8_t>& bytes, std::string& error);
    bool Relocate(std::uint32_t directory, std::uint32_t size, std::int64_t delta, std::string& error);
    bool BindImports(std::uint32_t directory, std::string& error);
    void Protect();
    template <class T>
    T* At(std::uint32_t rva) const
    {
        return reinterpret_cast<T*>(static_cast<std::uint8_t*>(base_) + rva);
    }

    void* base_ = nullptr;
    std::size_t size_ = 0;
    std::vector<Section> sections_;
    PDRIVER_INITIALIZE entry_ = nullptr;
};

// The emulation's routine that a kernel image's import of `routine` from
// `module` binds to; null when the emulation does not export it there.
void* PlatformExport(const std::string& module, const std::string& routine);

}  // namespace emu::detail
