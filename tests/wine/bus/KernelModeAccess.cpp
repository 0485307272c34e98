// The import-slot change that gives a driver Windows' kernel-mode registry
// access under Wine (see the header).
#include "KernelModeAccess.h"

#include <ntimage.h>

extern "C" {

static NTSTATUS NTAPI OpenDeviceRegistryKeyAsKernelMode(PDEVICE_OBJECT DeviceObject, ULONG KeyType,
                                                        ACCESS_MASK DesiredAccess, PHANDLE Key)
{
    return IoOpenDeviceRegistryKey(DeviceObject, KeyType, DesiredAccess | KEY_READ, Key);
}

static BOOLEAN SameText(const CHAR* Left, const CHAR* Right, BOOLEAN IgnoreCase)
{
    for (;; Left++, Right++) {
        CHAR L = *Left, R = *Right;
        if (IgnoreCase) {
            L = (L >= 'A' && L <= 'Z') ? (CHAR)(L - 'A' + 'a') : L;
            R = (R >= 'A' && R <= 'Z') ? (CHAR)(R - 'A' + 'a') : R;
        }
        if (L != R) {
            return FALSE;
        }
        if (L == 0) {
            return TRUE;
        }
    }
}

// The import slot of ntoskrnl.exe!Routine in the image at Base, or NULL.
static PULONGLONG FindImportSlot(PUCHAR Base, const CHAR* Routine)
{
    PIMAGE_DOS_HEADER Dos = (PIMAGE_DOS_HEADER)Base;
    PIMAGE_NT_HEADERS64 Nt;
    PIMAGE_IMPORT_DESCRIPTOR Import;
    IMAGE_DATA_DIRECTORY Directory;

    if (Dos->e_magic != IMAGE_DOS_SIGNATURE) {
        return NULL;
    }
    Nt = (PIMAGE_NT_HEADERS64)(Base + Dos->e_lfanew);
    if (Nt->Signature != IMAGE_NT_SIGNATURE || Nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return NULL;
    }
    Directory = Nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (Directory.VirtualAddress == 0) {
        return NULL;
    }
    for (Import = (PIMAGE_IMPORT_DESCRIPTOR)(Base + Directory.VirtualAddress); Import->Name != 0; Import++) {
        if (!SameText((const CHAR*)(Base + Import->Name), "ntoskrnl.exe", TRUE) || Import->OriginalFirstThunk == 0) {
            continue;
        }
        PIMAGE_THUNK_DATA64 Names = (PIMAGE_THUNK_DATA64)(Base + Import->OriginalFirstThunk);
        PULONGLONG Slots = (PULONGLONG)(Base + Import->FirstThunk);
        for (; Names->u1.AddressOfData != 0; Names++, Slots++) {
            if (IMAGE_SNAP_BY_ORDINAL64(Names->u1.Ordinal)) {
                continue;
            }
            PIMAGE_IMPORT_BY_NAME ByName = (PIMAGE_IMPORT_BY_NAME)(Base + Names->u1.AddressOfData);
            if (SameText((const CHAR*)ByName->Name, Routine, FALSE)) {
                return Slots;
            }
        }
    }
    return NULL;
}

VOID GrantKernelModeRegistryAccess(PDRIVER_OBJECT Driver)
{
    PULONGLONG Slot;
    ULONGLONG Shim = (ULONGLONG)(ULONG_PTR)OpenDeviceRegistryKeyAsKernelMode;

    if (Driver == NULL || Driver->DriverStart == NULL) {
        TestBusTrace("kernel-mode registry access: the driver's image is unknown\n");
        return;
    }
    Slot = FindImportSlot((PUCHAR)Driver->DriverStart, "IoOpenDeviceRegistryKey");
    if (Slot == NULL || *Slot == Shim) {
        return;
    }
    // The import table is writable data in the images this project builds.
    InterlockedExchange64((volatile LONG64*)Slot, (LONG64)Shim);
    TestBusTrace("kernel-mode registry access granted to the driver at %p\n", Driver->DriverStart);
}

}  // extern "C"
