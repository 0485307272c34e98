// The PE32+ loader of the emulated kernel (PeImage.h). The structures are
// read from the file's bytes by offset, as the format lays them out, so that
// nothing of the platform's headers is needed on the host.
#include "PeImage.h"

#include <dlfcn.h>
#include <sys/mman.h>

#include <cstring>
#include <strings.h>

namespace emu::detail {
namespace {

constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kMagicPe32Plus = 0x20b;
constexpr std::uint16_t kSubsystemNative = 1;
constexpr std::uint32_t kDirectoryImport = 1;
constexpr std::uint32_t kDirectoryRelocation = 5;
constexpr std::uint16_t kRelocationAbsolute = 0;
constexpr std::uint16_t kRelocationDir64 = 10;
constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;
constexpr std::uint64_t kImportByOrdinal = 1ull << 63;

std::size_t WholePages(std::uint32_t size) { return (size + std::size_t{0xfff}) & ~std::size_t{0xfff}; }

template <class T>
bool Read(const std::vector<std::uint8_t>& bytes, std::size_t offset, T& value)
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return true;
}

// The platform's memcpy and memset take the platform's convention; the
// host's C library does not.
void* NTAPI PlatformMemcpy(void* destination, const void* source, size_t count)
{
    return std::memcpy(destination, source, count);
}

void* NTAPI PlatformMemset(void* destination, int value, size_t count)
{
    return std::memset(destination, value, count);
}

const char* ModuleFileName(const char* module)
{
    if (std::strcmp(module, "NTOSKRNL") == 0) return "ntoskrnl.exe";
    if (std::strcmp(module, "HAL") == 0) return "HAL.dll";
    if (std::strcmp(module, "USBD") == 0) return "USBD.SYS";
    return "";
}

struct Binding {
    const char* module;
    const char* routine;
    void* address;
};

// Every routine a kernel image may import, from the export table; the
// header-only and the emulation's own rows have no platform import.
const std::vector<Binding>& Bindings()
{
    static const std::vector<Binding> bindings = [] {
        std::vector<Binding> table;
// The USB library's routines live in a library of their own, above this
// one: each row is found by its name among the libraries loaded.
#define EMU_EXPORT(module, routine, maxIrql, callers) \
    table.push_back({ModuleFileName(#module), #routine, dlsym(RTLD_DEFAULT, #routine)});
#define EMU_HOST_C(module, routine, maxIrql, callers)
#include "emu/Exports.def"
#undef EMU_EXPORT
#undef EMU_HOST_C
        // The host's _vsnprintf takes the host's va_list; the image's takes
        // the platform's.
        for (Binding& binding : table) {
            if (std::strcmp(binding.routine, "_vsnprintf") == 0) {
                binding.address = reinterpret_cast<void*>(&EmuPlatform_vsnprintf);
            }
        }
        table.push_back({"ntoskrnl.exe", "memcpy", reinterpret_cast<void*>(&PlatformMemcpy)});
        table.push_back({"ntoskrnl.exe", "memset", reinterpret_cast<void*>(&PlatformMemset)});
        return table;
    }();
    return bindings;
}

}  // namespace

void* PlatformExport(const std::string& module, const std::string& routine)
{
    for (const Binding& binding : Bindings()) {
        if (*binding.module && binding.address && strcasecmp(binding.module, module.c_str()) == 0 &&
            routine == binding.routine) {
            return binding.address;
        }
    }
    return nullptr;
}

std::unique_ptr<PeImage> PeImage::Map(const std::vector<std::uint8_t>& bytes, std::string& error)
{
    std::unique_ptr<PeImage> image(new PeImage);
    if (!image->Load(bytes, error)) return nullptr;
    return image;
}

PeImage::~PeImage()
{
    if (base_) munmap(base_, size_);
}

bool PeImage::Load(const std::vector<std::uint8_t>& bytes, std::string& error)
{
    std::uint32_t peOffset = 0;
    std::uint32_t signature = 0;
    if (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z' || !Read(bytes, 0x3c, peOffset) ||
        !Read(bytes, peOffset, signature) || signature != 0x00004550) {
        error = "not a PE image";
        return false;
    }
    const std::size_t fileHeader = peOffset + 4;
    std::uint16_t machine = 0, sectionCount = 0, optionalSize = 0, magic = 0, subsystem = 0;
    std::uint32_t entryRva = 0, imageSize = 0, headersSize = 0, directoryCount = 0;
    std::uint64_t imageBase = 0;
    const std::size_t optional = fileHeader + 20;
    if (!Read(bytes, fileHeader, machine) || !Read(bytes, fileHeader + 2, sectionCount) ||
        !Read(bytes, fileHeader + 16, optionalSize) || !Read(bytes, optional, magic) ||
        !Read(bytes, optional + 16, entryRva) || !Read(bytes, optional + 24, imageBase) ||
        !Read(bytes, optional + 56, imageSize) || !Read(bytes, optional + 60, headersSize) ||
        !Read(bytes, optional + 68, subsystem) || !Read(bytes, optional + 108, directoryCount)) {
        error = "truncated PE headers";
        return false;
    }
    if (machine != kMachineAmd64 || magic != kMagicPe32Plus) {
        error = "not an x64 PE32+ image (machine 0x" + std::to_string(machine) + ")";
        return false;
    }
    if (subsystem != kSubsystemNative) {
        error = "not a native (kernel) image: subsystem " + std::to_string(subsystem);
        return false;
    }
    auto directory = [&](std::uint32_t index, std::uint32_t& rva, std::uint32_t& size) {
        rva = size = 0;
        return index >= directoryCount || (Read(bytes, optional + 112 + index * std::size_t{8}, rva) &&
                                           Read(bytes, optional + 116 + index * std::size_t{8}, size));
    };
    std::uint32_t importRva = 0, importSize = 0, relocationRva = 0, relocationSize = 0;
    if (!directory(kDirectoryImport, importRva, importSize) ||
        !directory(kDirectoryRelocation, relocationRva, relocationSize) || headersSize > imageSize) {
        error = "truncated data directories";
        return false;
    }

    size_ = imageSize;
    void* mapped = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        error = "cannot map " + std::to_string(imageSize) + " bytes";
        return false;
    }
    base_ = mapped;
    std::memcpy(base_, bytes.data(), std::min<std::size_t>(headersSize, bytes.size()));
    const std::size_t sectionTable = optional + optionalSize;
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
        const std::size_t header = sectionTable + i * std::size_t{40};
        char name[9] = {};
        Section section;
        std::uint32_t rawSize = 0, rawOffset = 0;
        if (header + 40 > bytes.size()) {
            error = "truncated section table";
            return false;
        }
        std::memcpy(name, bytes.data() + header, 8);
        Read(bytes, header + 8, section.size);
        Read(bytes, header + 12, section.address);
        Read(bytes, header + 16, rawSize);
        Read(bytes, header + 20, rawOffset);
        Read(bytes, header + 36, section.characteristics);
        section.name = name;
        const std::uint32_t span = std::max(section.size, rawSize);
        if (section.address > size_ || size_ - section.address < span || rawOffset > bytes.size() ||
            bytes.size() - rawOffset < std::min(rawSize, section.size)) {
            error = "section " + section.name + " lies outside the image";
            return false;
        }
        std::memcpy(At<std::uint8_t>(section.address), bytes.data() + rawOffset, std::min(rawSize, section.size));
        sections_.push_back(section);
    }
    const std::int64_t delta = static_cast<std::int64_t>(base() - imageBase);
    if (!Relocate(relocationRva, relocationSize, delta, error) || !BindImports(importRva, error)) return false;
    Protect();
    entry_ = At<std::remove_pointer_t<PDRIVER_INITIALIZE>>(entryRva);
    return true;
}

bool PeImage::Relocate(std::uint32_t directory, std::uint32_t size, std::int64_t delta, std::string& error)
{
    std::uint32_t offset = 0;
    while (offset + 8 <= size) {
        const std::uint32_t page = *At<std::uint32_t>(directory + offset);
        const std::uint32_t blockSize = *At<std::uint32_t>(directory + offset + 4);
        if (blockSize < 8 || offset + blockSize > size) {
            error = "malformed base relocations";
            return false;
        }
        for (std::uint32_t entry = 8; entry + 2 <= blockSize; entry += 2) {
            const std::uint16_t value = *At<std::uint16_t>(directory + offset + entry);
            const std::uint16_t type = value >> 12;
            const std::uint32_t target = page + (value & 0xfff);
            if (type == kRelocationAbsolute) continue;
            if (type != kRelocationDir64 || target + 8 > size_) {
                error = "base relocation of type " + std::to_string(type) + " is not modelled";
                return false;
            }
            *At<std::int64_t>(target) += delta;
        }
        offset += blockSize;
    }
    return true;
}

bool PeImage::BindImports(std::uint32_t directory, std::string& error)
{
    if (directory == 0) return true;
    for (std::uint32_t descriptor = directory;; descriptor += 20) {
        const std::uint32_t lookup = *At<std::uint32_t>(descriptor);
        const std::uint32_t nameRva = *At<std::uint32_t>(descriptor + 12);
        const std::uint32_t addresses = *At<std::uint32_t>(descriptor + 16);
        if (nameRva == 0) return true;
        const std::string module = At<char>(nameRva);
        for (std::uint32_t slot = 0;; slot += 8) {
            const std::uint64_t import = *At<std::uint64_t>((lookup ? lookup : addresses) + slot);
            if (import == 0) break;
            if (import & kImportByOrdinal) {
                error = "import by ordinal from " + module + " is not modelled";
                return false;
            }
            const std::string routine = At<char>(static_cast<std::uint32_t>(import) + 2);
            void* address = PlatformExport(module, routine);
            if (!address) {
                error = "the emulation does not export " + module + "!" + routine;
                return false;
            }
            *At<void*>(addresses + slot) = address;
        }
    }
}

void PeImage::Protect()
{
    mprotect(base_, sections_.empty() ? size_ : sections_.front().address, PROT_READ);
    for (const Section& section : sections_) {
        int protection = PROT_READ;
        if (section.characteristics & kSectionExecute) protection |= PROT_EXEC;
        if (section.characteristics & kSectionWrite) protection |= PROT_WRITE;
        mprotect(At<std::uint8_t>(section.address), WholePages(section.size), protection);
    }
}

void PeImage::DiscardInit()
{
    for (const Section& section : sections_) {
        if (section.name == "INIT") {
            mprotect(At<std::uint8_t>(section.address), WholePages(section.size), PROT_NONE);
        }
    }
}

bool PeImage::Contains(const void* address) const
{
    auto value = reinterpret_cast<std::uintptr_t>(address);
    return value >= base() && value - base() < size_;
}

}  // namespace emu::detail
