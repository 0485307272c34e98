// A minimal kernel image for testing the image checker. Built as is, it is a
// correct driver: DriverEntry in INIT, one pageable routine in PAGE, one
// resident routine, imports from ntoskrnl.exe only, and only routines that the
// host emulation exports too. Each PROBE_* macro breaks it in one way that the
// checker must catch.
#include "Platform.h"

#if defined(PROBE_EXTRA_IMPORT)
// A user-mode DLL's routine: the kernel's loader cannot resolve it.
extern "C" __declspec(dllimport) ULONG __stdcall GetTickCount(void);
#endif

#if defined(PROBE_MANGLED_IMPORT)
// Declared without C linkage, so the import carries the C++ mangled name.
__declspec(dllimport) ULONG TesmoProbeRoutine(void);
#endif

#if defined(PROBE_STATIC_CONSTRUCTOR)
// A global with a dynamic initialiser: nothing in the kernel would run it.
struct ProbeCounter {
    ProbeCounter() : Value(KeQueryActiveProcessorCount(NULL)) {}
    ULONG Value;
};
ProbeCounter GlobalCounter;
#endif

#if defined(PROBE_TLS_DIRECTORY)
// The symbol the linker turns into a TLS directory; kernel images have none.
// (The DDK headers do not declare the directory's layout.)
struct ProbeTlsDirectory {
    ULONGLONG StartAddressOfRawData;
    ULONGLONG EndAddressOfRawData;
    ULONGLONG AddressOfIndex;
    ULONGLONG AddressOfCallBacks;
    ULONG SizeOfZeroFill;
    ULONG Characteristics;
};
extern "C" {
ProbeTlsDirectory _tls_used = {};
}
#endif

extern "C" {

static VOID ProbeUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

TESMO_PAGED NTSTATUS ProbePagedRoutine(PDRIVER_OBJECT DriverObject)
{
    DriverObject->DriverUnload = ProbeUnload;
    PVOID Block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'borP');
    if (Block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ExFreePoolWithTag(Block, 'borP');
#if defined(PROBE_PAGED_SPIN_LOCK)
    // Pageable code that raises itself to DISPATCH_LEVEL.
    static KSPIN_LOCK Lock;
    KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Lock);
    KeReleaseSpinLock(&Lock, OldIrql);
#endif
    return STATUS_SUCCESS;
}

}  // extern "C"

#if defined(PROBE_MANGLED_ENTRY)
TESMO_INIT NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
#else
extern "C" TESMO_INIT NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
#endif
{
    UNREFERENCED_PARAMETER(RegistryPath);
#if defined(PROBE_EXTRA_IMPORT)
    if (GetTickCount() == 0) {
        return STATUS_UNSUCCESSFUL;
    }
#endif
#if defined(PROBE_UNEMULATED_IMPORT)
    // A routine of the platform's kernel that the emulation does not export:
    // the image loads on Windows, but its sources could not run on the host.
    if (KeQueryActiveProcessorCount(NULL) == 0) {
        return STATUS_UNSUCCESSFUL;
    }
#endif
#if defined(PROBE_MANGLED_IMPORT)
    if (TesmoProbeRoutine() == 0) {
        return STATUS_UNSUCCESSFUL;
    }
#endif
#if defined(PROBE_STATIC_CONSTRUCTOR)
    if (GlobalCounter.Value == 0) {
        return STATUS_UNSUCCESSFUL;
    }
#endif
#if defined(PROBE_TLS_DIRECTORY)
    if (_tls_used.Characteristics != 0) {
        return STATUS_UNSUCCESSFUL;
    }
#endif
    return ProbePagedRoutine(DriverObject);
}
