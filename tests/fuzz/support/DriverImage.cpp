#include "DriverImage.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace tesmo::fuzz {
namespace {

struct DataRange {
    unsigned char* begin;
    std::vector<unsigned char> pristine;
};

std::vector<DataRange> ranges;

// The image's globals carry the sanitizer's poisoned red zones between them:
// the copy must not be checked, nor turned into a memcpy call that would be.
__attribute__((no_sanitize("address", "undefined"))) void CopyUnchecked(unsigned char* to, const unsigned char* from,
                                                                        std::size_t count)
{
    volatile unsigned char* target = to;
    for (std::size_t i = 0; i < count; ++i) target[i] = from[i];
}

// The writable segments of the loaded object that holds `address`, less the
// part made read-only after relocation.
int CollectWritableData(dl_phdr_info* info, std::size_t, void* address)
{
    auto wanted = reinterpret_cast<std::uintptr_t>(address);
    bool ours = false;
    std::uintptr_t relroEnd = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && wanted >= begin && wanted < begin + segment.p_memsz) ours = true;
        if (segment.p_type == PT_GNU_RELRO) relroEnd = begin + segment.p_memsz;
    }
    if (!ours) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_W)) continue;
        std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
        std::uintptr_t end = begin + segment.p_memsz;
        if (relroEnd > begin && relroEnd <= end) begin = relroEnd;
        if (begin >= end) continue;
        DataRange range{reinterpret_cast<unsigned char*>(begin), std::vector<unsigned char>(end - begin)};
        CopyUnchecked(range.pristine.data(), range.begin, range.pristine.size());
        ranges.push_back(std::move(range));
    }
    return 1;
}

std::string FindImage()
{
    if (const char* chosen = std::getenv("TESMO_DRIVER_IMAGE")) return chosen;
    std::error_code error;
    auto beside = std::filesystem::read_symlink("/proc/self/exe", error).parent_path() / "tesmo_driver.so";
    if (!error && std::filesystem::exists(beside)) return beside.string();
    return TESMO_DRIVER_PATH;
}

}  // namespace

const std::string& DriverImagePath()
{
    static const std::string path = FindImage();
    return path;
}

void PinDriverImage()
{
    if (!ranges.empty()) return;
    setenv("TESMO_DRIVER_IMAGE", DriverImagePath().c_str(), 1);
    void* image = dlopen(DriverImagePath().c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    void* entry = image ? dlsym(image, "DriverEntry") : nullptr;
    if (!entry) {
        std::fprintf(stderr, "fuzz: cannot load the driver image %s: %s\n", DriverImagePath().c_str(), dlerror());
        std::abort();
    }
    dl_iterate_phdr(CollectWritableData, entry);
    if (ranges.empty()) {
        std::fprintf(stderr, "fuzz: the driver image has no writable data to restore\n");
        std::abort();
    }
}

void RestoreDriverImage()
{
    for (DataRange& range : ranges) CopyUnchecked(range.begin, range.pristine.data(), range.pristine.size());
}

}  // namespace tesmo::fuzz

// Every target's start: the image, and the coverage counters in it, are in
// place before the engine reads them. The support library's other users pull
// this file into each target.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    tesmo::fuzz::PinDriverImage();
    return 0;
}
