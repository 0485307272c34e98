// The kernel's bounded formatter: _vsnprintf with the platform's conventions
// (long is 32 bits, %ws/%S wide strings, %wZ counted strings, %p as sixteen
// upper-case hex digits) and RtlStringCbVPrintfA's truncation rules.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "Kernel.h"
#include "emu/ExportEntry.h"

namespace {

struct Spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = 0;
    int precision = -1;
    enum Size { Default, Char, Short, Long32, Long64, Wide } size = Default;
};

void Pad(std::string& out, const std::string& body, const Spec& spec, char fill = ' ')
{
    int pad = spec.width - static_cast<int>(body.size());
    if (pad <= 0) {
        out += body;
    } else if (spec.left) {
        out += body;
        out.append(pad, ' ');
    } else {
        out.append(pad, fill);
        out += body;
    }
}

std::string Digits(unsigned long long value, unsigned base, bool upper)
{
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[64];  // 64 binary digits at most
    char* end = reversed + sizeof reversed;
    char* first = end;
    do {
        *--first = set[value % base];
        value /= base;
    } while (value);
    return std::string(first, end);
}

void Integer(std::string& out, const Spec& spec, bool negative, unsigned long long magnitude, unsigned base, bool upper,
             const char* altPrefix)
{
    std::string digits = (spec.precision == 0 && magnitude == 0) ? "" : Digits(magnitude, base, upper);
    if (spec.precision > static_cast<int>(digits.size())) digits.insert(0, spec.precision - digits.size(), '0');
    std::string prefix;
    if (negative) prefix = "-";
    else if (spec.plus) prefix = "+";
    else if (spec.space) prefix = " ";
    if (spec.alt && magnitude != 0 && altPrefix) prefix += altPrefix;
    if (spec.zero && !spec.left && spec.precision < 0) {
        int pad = spec.width - static_cast<int>(prefix.size() + digits.size());
        if (pad > 0) digits.insert(0, pad, '0');
        out += prefix + digits;
        return;
    }
    Pad(out, prefix + digits, spec);
}

std::string NarrowWide(const WCHAR* text, std::size_t length)
{
    std::string s;
    s.reserve(length);
    for (std::size_t i = 0; i < length; ++i) s.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
    return s;
}

std::size_t WideLength(const WCHAR* text, int limit)
{
    std::size_t n = 0;
    while ((limit < 0 || n < static_cast<std::size_t>(limit)) && text[n]) ++n;
    return n;
}

// Formats the whole text; the caller applies the buffer rules.
std::string FormatAll(const char* format, va_list args)
{
    std::string out;
    for (const char* f = format; *f; ++f) {
        if (*f != '%') {
            out.push_back(*f);
            continue;
        }
        ++f;
        if (*f == '%') {
            out.push_back('%');
            continue;
        }
        Spec spec;
        for (;; ++f) {
            if (*f == '-') spec.left = true;
            else if (*f == '+') spec.plus = true;
            else if (*f == ' ') spec.space = true;
            else if (*f == '#') spec.alt = true;
            else if (*f == '0') spec.zero = true;
            else break;
        }
        if (*f == '*') {
            spec.width = va_arg(args, int);
            if (spec.width < 0) {
                spec.left = true;
                spec.width = -spec.width;
            }
            ++f;
        } else {
            while (*f >= '0' && *f <= '9') spec.width = spec.width * 10 + (*f++ - '0');
        }
        if (*f == '.') {
            ++f;
            spec.precision = 0;
            if (*f == '*') {
                spec.precision = va_arg(args, int);
                ++f;
            } else {
                while (*f >= '0' && *f <= '9') spec.precision = spec.precision * 10 + (*f++ - '0');
            }
        }
        if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
            spec.size = Spec::Long64;
            f += 3;
        } else if (f[0] == 'I' && f[1] == '3' && f[2] == '2') {
            spec.size = Spec::Long32;
            f += 3;
        } else if (f[0] == 'I' || f[0] == 'z' || f[0] == 'j' || f[0] == 't' || f[0] == 'L') {
            spec.size = Spec::Long64;  // pointer-sized on x64; L as ll
            f += 1;
        } else if (f[0] == 'l' && f[1] == 'l') {
            spec.size = Spec::Long64;
            f += 2;
        } else if (f[0] == 'h' && f[1] == 'h') {
            spec.size = Spec::Char;
            f += 2;
        } else if (f[0] == 'h') {
            spec.size = Spec::Short;
            f += 1;
        } else if (f[0] == 'l') {
            spec.size = Spec::Long32;  // long is 32 bits on the platform; %ls and %lc are wide
            f += 1;
        } else if (f[0] == 'w') {
            spec.size = Spec::Wide;
            f += 1;
        }
        char type = *f;
        if (!type) break;
        switch (type) {
        case 'd':
        case 'i': {
            long long v;
            if (spec.size == Spec::Long64) v = va_arg(args, long long);
            else v = va_arg(args, int);
            if (spec.size == Spec::Short) v = static_cast<short>(v);
            if (spec.size == Spec::Char)
                v = static_cast<long long>(static_cast<unsigned char>(v) ^ 0x80u) - 0x80;  // sign-extends the low byte
            unsigned long long magnitude = v < 0 ? 0ull - static_cast<unsigned long long>(v) : v;
            Integer(out, spec, v < 0, magnitude, 10, false, nullptr);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            unsigned long long v;
            if (spec.size == Spec::Long64) v = va_arg(args, unsigned long long);
            else v = va_arg(args, unsigned int);
            if (spec.size == Spec::Short) v = static_cast<unsigned short>(v);
            if (spec.size == Spec::Char) v = static_cast<unsigned char>(v);
            unsigned base = type == 'o' ? 8 : (type == 'u' ? 10 : 16);
            const char* alt = type == 'x' ? "0x" : (type == 'X' ? "0X" : (type == 'o' ? "0" : nullptr));
            Spec s = spec;
            s.plus = s.space = false;
            Integer(out, s, false, v, base, type == 'X', alt);
            break;
        }
        case 'p': {
            void* v = va_arg(args, void*);
            std::string digits = Digits(reinterpret_cast<std::uintptr_t>(v), 16, true);
            digits.insert(0, 16 - digits.size(), '0');
            Pad(out, digits, spec);
            break;
        }
        case 'c':
        case 'C': {
            int v = va_arg(args, int);
            bool wide = type == 'C' || spec.size == Spec::Wide || spec.size == Spec::Long32;
            char c = wide ? (v < 0x80 ? static_cast<char>(v) : '?') : static_cast<char>(v);
            Pad(out, std::string(1, c), spec);
            break;
        }
        case 's':
        case 'S': {
            bool wide = type == 'S' || spec.size == Spec::Wide || spec.size == Spec::Long32;
            std::string text;
            if (wide) {
                const WCHAR* w = va_arg(args, const WCHAR*);
                text = w ? NarrowWide(w, WideLength(w, spec.precision)) : "(null)";
            } else {
                const char* s = va_arg(args, const char*);
                if (!s) {
                    text = "(null)";
                } else {
                    std::size_t n = spec.precision < 0 ? std::strlen(s) : strnlen(s, spec.precision);
                    text.assign(s, n);
                }
            }
            Pad(out, text, spec);
            break;
        }
        case 'Z': {
            std::string text;
            if (spec.size == Spec::Wide) {
                auto* u = va_arg(args, const UNICODE_STRING*);
                text = (u && u->Buffer) ? NarrowWide(u->Buffer, u->Length / sizeof(WCHAR)) : "(null)";
            } else {
                auto* a = va_arg(args, const ANSI_STRING*);
                text = (a && a->Buffer) ? std::string(a->Buffer, a->Length) : "(null)";
            }
            Pad(out, text, spec);
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            double v = va_arg(args, double);
            char spec_text[32];
            std::snprintf(spec_text, sizeof spec_text, "%%%s%s%s%s%s*.*%c", spec.left ? "-" : "", spec.plus ? "+" : "",
                          spec.space ? " " : "", spec.alt ? "#" : "", spec.zero ? "0" : "", type);
            char buffer[512];
            std::snprintf(buffer, sizeof buffer, spec_text, spec.width, spec.precision < 0 ? 6 : spec.precision, v);
            out += buffer;
            break;
        }
        case 'n':
            emu::detail::Violation(emu::Rule::NotModelled, nullptr, "the %n conversion is not supported");
            return out;
        default: out.push_back(type); break;
        }
    }
    return out;
}

// The bodies of the exports, which also call one another through these, so
// that a trace message is counted once, as the driver's own call.
int BoundedFormat(char* buffer, size_t count, const char* format, va_list argList)
{
    va_list args;
    va_copy(args, argList);
    std::string text = FormatAll(format, args);
    va_end(args);
    if (text.size() < count) {
        std::memcpy(buffer, text.data(), text.size());
        buffer[text.size()] = '\0';
        return static_cast<int>(text.size());
    }
    std::memcpy(buffer, text.data(), count);
    return text.size() == count ? static_cast<int>(count) : -1;
}

NTSTATUS StringCbVPrintf(char* dest, size_t cbDest, const char* format, va_list argList)
{
    if (cbDest == 0 || cbDest > NTSTRSAFE_MAX_CCH) {
        if (cbDest != 0 && dest) *dest = '\0';
        return STATUS_INVALID_PARAMETER;
    }
    size_t cchMax = cbDest - 1;
    int written = BoundedFormat(dest, cchMax, format, argList);
    if (written < 0 || static_cast<size_t>(written) > cchMax) {
        dest[cchMax] = '\0';
        return STATUS_BUFFER_OVERFLOW;
    }
    if (static_cast<size_t>(written) == cchMax) dest[cchMax] = '\0';
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

int _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list ArgList)
{
    EMU_ENTRY(_vsnprintf);
    return BoundedFormat(Buffer, Count, Format, ArgList);
}

int _snprintf(char* Buffer, size_t Count, const char* Format, ...)
{
    EMU_ENTRY(_snprintf);
    va_list args;
    va_start(args, Format);
    int result = BoundedFormat(Buffer, Count, Format, args);
    va_end(args);
    return result;
}

NTSTATUS RtlStringCbVPrintfA(char* pszDest, size_t cbDest, const char* pszFormat, va_list argList)
{
    EMU_ENTRY(RtlStringCbVPrintfA);
    return StringCbVPrintf(pszDest, cbDest, pszFormat, argList);
}

NTSTATUS RtlStringCbPrintfA(char* pszDest, size_t cbDest, const char* pszFormat, ...)
{
    EMU_ENTRY(RtlStringCbPrintfA);
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = StringCbVPrintf(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

}  // extern "C"
