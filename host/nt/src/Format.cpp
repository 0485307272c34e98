// The kernel's bounded formatter: _vsnprintf with the platform's conventions
// (long is 32 bits, %ws/%S wide strings, %wZ counted strings, %p as sixteen
// upper-case hex digits) and RtlStringCbVPrintfA's truncation rules. The
// arguments come from either calling convention: the host's va_list of a
// driver built for the host, or the platform's (a pointer to 8-byte slots) of
// the variadic exports and of the shipped image.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "Kernel.h"
#include "emu/ExportEntry.h"

namespace {

// The next argument of a formatting call, whichever convention carried it.
class ArgumentReader {
public:
    virtual int Int() = 0;
    virtual unsigned UInt() = 0;
    virtual long long Long64() = 0;
    virtual unsigned long long ULong64() = 0;
    virtual const void* Pointer() = 0;
    virtual double Double() = 0;

protected:
    ~ArgumentReader() = default;
};

class HostArguments final : public ArgumentReader {
public:
    explicit HostArguments(va_list args) { va_copy(args_, args); }
    ~HostArguments() { va_end(args_); }
    HostArguments(const HostArguments&) = delete;
    HostArguments& operator=(const HostArguments&) = delete;
    int Int() override { return va_arg(args_, int); }
    unsigned UInt() override { return va_arg(args_, unsigned); }
    long long Long64() override { return va_arg(args_, long long); }
    unsigned long long ULong64() override { return va_arg(args_, unsigned long long); }
    const void* Pointer() override { return va_arg(args_, const void*); }
    double Double() override { return va_arg(args_, double); }

private:
    va_list args_;
};

// The platform's va_list points at the arguments' 8-byte slots, one each: a
// wider argument is passed by reference, a float as a double. The slots are
// read directly; GCC's va_arg on this list type is unreliable outside the
// function that started it.
class PlatformArguments final : public ArgumentReader {
public:
    explicit PlatformArguments(__builtin_ms_va_list args) : next_(args) {}
    int Int() override { return Slot<int>(); }
    unsigned UInt() override { return Slot<unsigned>(); }
    long long Long64() override { return Slot<long long>(); }
    unsigned long long ULong64() override { return Slot<unsigned long long>(); }
    const void* Pointer() override { return Slot<const void*>(); }
    double Double() override { return Slot<double>(); }

private:
    template <class T>
    T Slot()
    {
        static_assert(sizeof(T) <= 8);
        T value;
        std::memcpy(&value, next_, sizeof value);
        next_ += 8;
        return value;
    }

    const char* next_;
};

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
std::string FormatAll(const char* format, ArgumentReader& args)
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
            spec.width = args.Int();
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
                spec.precision = args.Int();
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
            if (spec.size == Spec::Long64) v = args.Long64();
            else v = args.Int();
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
            if (spec.size == Spec::Long64) v = args.ULong64();
            else v = args.UInt();
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
            void* v = const_cast<void*>(args.Pointer());
            std::string digits = Digits(reinterpret_cast<std::uintptr_t>(v), 16, true);
            digits.insert(0, 16 - digits.size(), '0');
            Pad(out, digits, spec);
            break;
        }
        case 'c':
        case 'C': {
            int v = args.Int();
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
                const WCHAR* w = static_cast<const WCHAR*>(args.Pointer());
                text = w ? NarrowWide(w, WideLength(w, spec.precision)) : "(null)";
            } else {
                const char* s = static_cast<const char*>(args.Pointer());
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
                auto* u = static_cast<const UNICODE_STRING*>(args.Pointer());
                text = (u && u->Buffer) ? NarrowWide(u->Buffer, u->Length / sizeof(WCHAR)) : "(null)";
            } else {
                auto* a = static_cast<const ANSI_STRING*>(args.Pointer());
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
            double v = args.Double();
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
int BoundedFormat(char* buffer, size_t count, const char* format, ArgumentReader& args)
{
    std::string text = FormatAll(format, args);
    if (text.size() < count) {
        std::memcpy(buffer, text.data(), text.size());
        buffer[text.size()] = '\0';
        return static_cast<int>(text.size());
    }
    std::memcpy(buffer, text.data(), count);
    return text.size() == count ? static_cast<int>(count) : -1;
}

NTSTATUS StringCbFormat(char* dest, size_t cbDest, const char* format, ArgumentReader& args)
{
    if (cbDest == 0 || cbDest > NTSTRSAFE_MAX_CCH) {
        if (cbDest != 0 && dest) *dest = '\0';
        return STATUS_INVALID_PARAMETER;
    }
    size_t cchMax = cbDest - 1;
    int written = BoundedFormat(dest, cchMax, format, args);
    if (written < 0 || static_cast<size_t>(written) > cchMax) {
        dest[cchMax] = '\0';
        return STATUS_BUFFER_OVERFLOW;
    }
    if (static_cast<size_t>(written) == cchMax) dest[cchMax] = '\0';
    return STATUS_SUCCESS;
}

}  // namespace

namespace emu::detail {

NTSTATUS FormatPlatformArguments(char* dest, size_t cbDest, const char* format, __builtin_ms_va_list args)
{
    PlatformArguments reader(args);
    return StringCbFormat(dest, cbDest, format, reader);
}

}  // namespace emu::detail

extern "C" {

int _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list ArgList)
{
    EMU_ENTRY(_vsnprintf);
    HostArguments reader(ArgList);
    return BoundedFormat(Buffer, Count, Format, reader);
}

int NTAPI EmuPlatform_vsnprintf(char* Buffer, size_t Count, const char* Format, __builtin_ms_va_list ArgList)
{
    EMU_ENTRY(EmuPlatform_vsnprintf);
    PlatformArguments reader(ArgList);
    return BoundedFormat(Buffer, Count, Format, reader);
}

int NTAPI _snprintf(char* Buffer, size_t Count, const char* Format, ...)
{
    EMU_ENTRY(_snprintf);
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, Format);
    PlatformArguments reader(args);
    int result = BoundedFormat(Buffer, Count, Format, reader);
    __builtin_ms_va_end(args);
    return result;
}

NTSTATUS RtlStringCbVPrintfA(char* pszDest, size_t cbDest, const char* pszFormat, va_list argList)
{
    EMU_ENTRY(RtlStringCbVPrintfA);
    HostArguments reader(argList);
    return StringCbFormat(pszDest, cbDest, pszFormat, reader);
}

NTSTATUS NTAPI RtlStringCbPrintfA(char* pszDest, size_t cbDest, const char* pszFormat, ...)
{
    EMU_ENTRY(RtlStringCbPrintfA);
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, pszFormat);
    PlatformArguments reader(args);
    NTSTATUS status = StringCbFormat(pszDest, cbDest, pszFormat, reader);
    __builtin_ms_va_end(args);
    return status;
}

}  // extern "C"
