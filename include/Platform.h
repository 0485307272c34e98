// The driver's one platform header. On Windows it brings in the DDK headers
// that mingw-w64 ships; on the host it brings in the emulated kernel's headers,
// which declare the same names. Driver code includes only this file for
// platform services and never tests which build it is in.
#pragma once

#if defined(_WIN32)

// The 10.0 DDK headers define these two intrinsics a second time in C++.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
// Without this the RtlString* routines are only declared at -O0.
#pragma push_macro("__CRT__NO_INLINE")
#undef __CRT__NO_INLINE
#include <ntstrsafe.h>
#pragma pop_macro("__CRT__NO_INLINE")
// usbdlib.h has no extern "C" of its own.
extern "C" {
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>
}
#include <ntddser.h>

// The DDK that mingw-w64 ships names the cancel-safe queue's callbacks only
// as pointer types; their roles as function types, in the same shape, so
// that the callbacks are declared as what they are.
typedef VOID(NTAPI IO_CSQ_INSERT_IRP)(PIO_CSQ Csq, PIRP Irp);
typedef VOID(NTAPI IO_CSQ_REMOVE_IRP)(PIO_CSQ Csq, PIRP Irp);
typedef PIRP(NTAPI IO_CSQ_PEEK_NEXT_IRP)(PIO_CSQ Csq, PIRP Irp, PVOID PeekContext);
typedef VOID(NTAPI IO_CSQ_ACQUIRE_LOCK)(PIO_CSQ Csq, PKIRQL Irql);
typedef VOID(NTAPI IO_CSQ_RELEASE_LOCK)(PIO_CSQ Csq, KIRQL Irql);
typedef VOID(NTAPI IO_CSQ_COMPLETE_CANCELED_IRP)(PIO_CSQ Csq, PIRP Irp);

#define TESMO_WIDE(text) L##text
// Pageable and discardable code; the loader pages out PAGE* and drops INIT.
#define TESMO_PAGED __attribute__((section("PAGE")))
#define TESMO_INIT __attribute__((section("INIT")))
// Resident code that takes a spin lock and that pageable code calls: kept
// out of line, so that the compiler cannot inline it into its caller's PAGE
// section, where code running at DISPATCH_LEVEL could fault.
#define TESMO_RESIDENT __attribute__((noinline))
// The trace routine's format is checked against the platform's own printf
// conventions (long is 32 bits, %S is a wide string).
#define TESMO_TRACE_FORMAT(FormatIndex, FirstArgument) __attribute__((format(ms_printf, FormatIndex, FirstArgument)))

#if defined(TESMO_TRACE_TO_DEBUGGER)
#define TesmoTraceSinkAttached() TRUE
#define TesmoTraceEmit(Level, Component, Text) \
    ((void)(Level), (void)(Component), DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%s", (Text)))
#else
#define TesmoTraceSinkAttached() FALSE
#define TesmoTraceEmit(Level, Component, Text) ((void)(Level), (void)(Component), (void)(Text))
#endif
// A read made on purpose without the guard its location needs (a count for a
// trace line): on the host the race detector lists the place instead of
// judging it; here it is the plain read it looks like.
#define TESMO_UNGUARDED_READ(Value, Why) (Value)

#else  // the host build against the emulated kernel

#include "emu_ntddk.h"

#define TESMO_WIDE(text) u##text
#define TESMO_PAGED
#define TESMO_INIT
#define TESMO_RESIDENT
// GNU printf checking does not know the platform's conventions that the
// emulated kernel's formatter follows (ULONG is a 32-bit int here, but a
// trace prints it as the platform's long): the Windows build checks.
#define TESMO_TRACE_FORMAT(FormatIndex, FirstArgument)
#define TesmoTraceSinkAttached() EmuTraceSinkAttached()
#define TesmoTraceEmit(Level, Component, Text) EmuTraceEmit((Level), (Component), (Text))
#define TESMO_UNGUARDED_READ(Value, Why) EmuUnguardedRead(&(Value), (Why), __FILE__, __LINE__)

#endif

// A counted string over a constant wide literal.
#define TESMO_CONSTANT_STRING(text)                                        \
    {                                                                      \
        sizeof(text) - sizeof(WCHAR), sizeof(text), const_cast<PWCH>(text) \
    }

// The driver's pool tag and remove-lock tag: reads "Kvrl" in memory, first
// character at the lowest address.
#define TESMO_POOL_TAG ((ULONG)0x6C72764B)
#define TESMO_LOCK_TAG ((PVOID)(ULONG_PTR)TESMO_POOL_TAG)
