// The function and data symbols of a loaded driver image, its static ones
// included (the dynamic symbol table, which dladdr reads, has only the
// exported ones): read once from the image file's own symbol table, for the
// race detector's stacks. Private to the emulation.
//
// Thread-safe once built (read only).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu::detail {

class ImageSymbols {
public:
    // Reads `path`, loaded at `base`; empty when the file has no symbol table.
    ImageSymbols(const std::string& path, std::uintptr_t base);

    // "name+0xoffset" of the function `pc` lies in, if it is one of the image's.
    std::optional<std::string> Name(const void* pc) const;

    struct Object {
        std::uintptr_t start;
        std::size_t size;
        std::string name;
    };
    // The image's data objects (its globals and statics), where loaded.
    const std::vector<Object>& objects() const { return objects_; }

private:
    struct Function {
        std::uintptr_t start;
        std::uintptr_t end;
        std::string name;
    };
    std::vector<Function> functions_;  // by start
    std::vector<Object> objects_;
};

}  // namespace emu::detail
