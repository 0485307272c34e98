// Reading a driver image's function and data symbols from its ELF symbol table.
#include "ImageSymbols.h"

#include <cxxabi.h>
#include <elf.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace emu::detail {

namespace {

std::string Demangled(const char* name)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return status == 0 && text ? std::string(text.get()) : std::string(name);
}

}  // namespace

ImageSymbols::ImageSymbols(const std::string& path, std::uintptr_t base)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() < sizeof(Elf64_Ehdr)) return;
    Elf64_Ehdr header;
    std::memcpy(&header, bytes.data(), sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) return;
    auto section = [&](std::size_t index) {
        Elf64_Shdr entry{};
        std::size_t at = header.e_shoff + index * header.e_shentsize;
        if (at + sizeof entry <= bytes.size()) std::memcpy(&entry, bytes.data() + at, sizeof entry);
        return entry;
    };
    for (std::size_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr table = section(i);
        if (table.sh_type != SHT_SYMTAB || table.sh_entsize != sizeof(Elf64_Sym)) continue;
        Elf64_Shdr strings = section(table.sh_link);
        for (std::size_t at = table.sh_offset;
             at + sizeof(Elf64_Sym) <= table.sh_offset + table.sh_size && at + sizeof(Elf64_Sym) <= bytes.size();
             at += sizeof(Elf64_Sym)) {
            Elf64_Sym symbol;
            std::memcpy(&symbol, bytes.data() + at, sizeof symbol);
            const unsigned type = ELF64_ST_TYPE(symbol.st_info);
            if ((type != STT_FUNC && type != STT_OBJECT) || symbol.st_value == 0) continue;
            std::size_t name = strings.sh_offset + symbol.st_name;
            if (name >= bytes.size()) continue;
            if (type == STT_OBJECT) {
                if (symbol.st_size)
                    objects_.push_back({base + symbol.st_value, symbol.st_size, Demangled(bytes.data() + name)});
                continue;
            }
            functions_.push_back({base + symbol.st_value,
                                  base + symbol.st_value + std::max<Elf64_Xword>(symbol.st_size, 1),
                                  Demangled(bytes.data() + name)});
        }
    }
    std::sort(functions_.begin(), functions_.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
}

std::optional<std::string> ImageSymbols::Name(const void* pc) const
{
    auto at = reinterpret_cast<std::uintptr_t>(pc);
    auto it = std::upper_bound(functions_.begin(), functions_.end(), at,
                               [](std::uintptr_t value, const Function& f) { return value < f.start; });
    if (it == functions_.begin()) return std::nullopt;
    --it;
    if (at >= it->end) return std::nullopt;
    char offset[32];
    std::snprintf(offset, sizeof offset, "+0x%lx", static_cast<unsigned long>(at - it->start));
    return it->name + offset;
}

}  // namespace emu::detail
