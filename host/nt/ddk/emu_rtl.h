// Run-time library of the emulation: counted strings, the bounded formatter
// (RtlStringCbVPrintfA over _vsnprintf, with the kernel's %ws, %wZ and %p) and
// the registry routines a driver uses.
//
// IRQL: the string and format routines run at any IRQL (they touch only the
// caller's memory); the registry routines require PASSIVE_LEVEL.
#pragma once

#include <stdarg.h>

#include "emu_ke.h"

#ifdef __cplusplus
extern "C" {
#endif

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
// Frees a buffer that the system allocated for a string (an interface link
// name, say) and empties the string.
VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

// Windows semantics: returns the number of characters written, or -1 when the
// text does not fit in Count characters (then the buffer holds the first Count
// characters and no terminator is guaranteed).
// The variadic routines take their arguments in the platform's convention. A
// driver built for the host makes its own va_list in the host's convention,
// so the two routines that take one take the host's here; the shipped image's
// _vsnprintf is bound to EmuPlatform_vsnprintf, which takes the platform's.
int _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list ArgList);
int NTAPI EmuPlatform_vsnprintf(char* Buffer, size_t Count, const char* Format, __builtin_ms_va_list ArgList);
int NTAPI _snprintf(char* Buffer, size_t Count, const char* Format, ...);
NTSTATUS RtlStringCbVPrintfA(char* pszDest, size_t cbDest, const char* pszFormat, va_list argList);
NTSTATUS NTAPI RtlStringCbPrintfA(char* pszDest, size_t cbDest, const char* pszFormat, ...);
#define NTSTRSAFE_MAX_CCH 2147483647

// ---- registry ----
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength);
NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize);
NTSTATUS NTAPI ZwClose(HANDLE Handle);
NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                     ULONG ValueLength);
NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);

// ---- debugger output (the kernel debugger's print) ----
// Both feed the emulation's trace sink, where a debugger would listen.
typedef enum _DPFLTR_TYPE { DPFLTR_IHVDRIVER_ID = 77 } DPFLTR_TYPE;
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
ULONG NTAPI DbgPrint(PCSTR Format, ...);
ULONG NTAPI DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);

// ---- the emulation's trace sink (stands where a debugger would listen) ----
// Whether anything listens; a driver need not format text nobody reads.
BOOLEAN EmuTraceSinkAttached(void);
VOID EmuTraceEmit(ULONG Level, ULONG Component, PCSTR Text);

#ifdef __cplusplus
}
#endif
