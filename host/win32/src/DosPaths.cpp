#include "DosPaths.h"

namespace tesmo::win32 {

namespace {

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

bool EqualsNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i])) return false;
    }
    return true;
}

bool IsReservedDeviceName(std::u16string_view name)
{
    for (std::u16string_view plain : {u"CON", u"PRN", u"AUX", u"NUL"}) {
        if (EqualsNoCase(name, plain)) return true;
    }
    if (name.size() != 4 || name[3] < u'1' || name[3] > u'9') return false;
    return EqualsNoCase(name.substr(0, 3), u"COM") || EqualsNoCase(name.substr(0, 3), u"LPT");
}

}  // namespace

std::optional<std::u16string> NtNameFromWin32(std::u16string_view path)
{
    if (path.size() > 4 && (path.substr(0, 4) == u"\\\\.\\" || path.substr(0, 4) == u"\\\\?\\")) {
        return u"\\??\\" + std::u16string(path.substr(4));
    }
    std::u16string_view name = path;
    if (!name.empty() && name.back() == u':') name.remove_suffix(1);
    if (IsReservedDeviceName(name)) {
        std::u16string upper(name);
        for (char16_t& c : upper) c = Upper(c);
        return u"\\??\\" + upper;
    }
    return std::nullopt;
}

}  // namespace tesmo::win32
