// The emulated kernel's counterpart of the platform's DDK headers. The
// driver's platform header includes this on the host build and the real DDK
// headers on the Windows build; driver code sees the same names either way.
#pragma once

#include "emu_ntdef.h"
#include "emu_ke.h"
#include "emu_io.h"
#include "emu_rtl.h"
#include "emu_usb.h"
#include "emu_ntddser.h"
