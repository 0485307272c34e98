// Gives a function driver above the instrument the registry access that
// kernel-mode code has on Windows, inside Wine's kernel.
//
// On Windows, ZwQueryValueKey from a driver runs with previous mode
// KernelMode, and the object manager then grants any access on a kernel
// handle, whatever access the handle was opened with: a driver may open its
// device key with STANDARD_RIGHTS_READ alone and still read values. Wine
// hosts drivers in a user process and checks the handle's granted access, so
// the same query fails there with STATUS_ACCESS_DENIED. This routine points
// the driver's import of IoOpenDeviceRegistryKey at a routine that adds
// KEY_READ to the access asked for, which is what the query then gets on
// Windows. The image file is not touched; only its import slot in memory.
//
// PASSIVE_LEVEL, PnP thread; called once per driver (later calls find the
// slot already changed and do nothing).
#pragma once

#include "Kernel.h"

extern "C" VOID GrantKernelModeRegistryAccess(PDRIVER_OBJECT Driver);
