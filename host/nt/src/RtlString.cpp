// Counted-string routines of the run-time library, with the platform's rules:
// an append that does not fit is not made, and a terminator is written only
// when there is room for it.
#include <cstring>

#include "Kernel.h"
#include "emu/ExportEntry.h"

namespace {

std::size_t WideLength(PCWSTR s)
{
    std::size_t n = 0;
    while (s[n]) ++n;
    return n;
}

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    EMU_ENTRY(RtlInitUnicodeString);
    if (SourceString) {
        std::size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
        if (bytes > 0xFFFC) bytes = 0xFFFC;
        DestinationString->Length = static_cast<USHORT>(bytes);
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else {
        DestinationString->Length = DestinationString->MaximumLength = 0;
    }
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

static NTSTATUS Append(PUNICODE_STRING Destination, PCWSTR Source, std::size_t bytes)
{
    if (bytes == 0) return STATUS_SUCCESS;
    if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    auto* at = reinterpret_cast<char*>(Destination->Buffer) + Destination->Length;
    std::memmove(at, Source, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    EMU_ENTRY(RtlAppendUnicodeToString);
    if (!Source) return STATUS_SUCCESS;
    return Append(Destination, Source, WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    EMU_ENTRY(RtlAppendUnicodeStringToString);
    return Append(Destination, Source->Buffer, Source->Length);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    EMU_ENTRY(RtlIntegerToUnicodeString);
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    char digits[33];
    int n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[Value % Base];
        Value /= Base;
    } while (Value);
    std::size_t bytes = static_cast<std::size_t>(n) * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i) String->Buffer[i] = static_cast<WCHAR>(digits[n - 1 - i]);
    String->Buffer[n] = 0;
    String->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    EMU_ENTRY(RtlCopyUnicodeString);
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    EMU_ENTRY(RtlEqualUnicodeString);
    if (String1->Length != String2->Length) return FALSE;
    for (std::size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            if (a >= 'a' && a <= 'z') a = static_cast<WCHAR>(a - 32);
            if (b >= 'a' && b <= 'z') b = static_cast<WCHAR>(b - 32);
        }
        if (a != b) return FALSE;
    }
    return TRUE;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    EMU_ENTRY(RtlFreeUnicodeString);
    if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

}  // extern "C"
