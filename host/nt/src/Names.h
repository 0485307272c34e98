// Names as the object manager and the registry compare them: without regard to
// case (the emulation folds ASCII letters only). Private to the emulation.
//
// Pure functions; any thread, any IRQL.
#pragma once

#include <string>

#include "emu_ntdef.h"

namespace emu::detail {

inline std::u16string FoldCase(std::u16string text)
{
    for (char16_t& c : text) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return text;
}

inline bool SameName(const std::u16string& a, const std::u16string& b) { return FoldCase(a) == FoldCase(b); }

// The text of a counted string; empty for none.
inline std::u16string TextOf(const UNICODE_STRING* s)
{
    if (!s || !s->Buffer) return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

// The text of a terminated wide string; empty for none.
inline std::u16string TextOf(PCWSTR s) { return s ? std::u16string(s) : std::u16string(); }

// For messages: ASCII as is, everything else as '?'.
inline std::string Narrow(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

}  // namespace emu::detail
