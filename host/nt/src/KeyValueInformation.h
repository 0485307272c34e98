// The layouts ZwQueryValueKey returns a value in. Private to the emulation.
//
// Pure function over the caller's buffer; any thread.
#pragma once

#include <string>

#include "emu/Registry.h"
#include "emu_rtl.h"

namespace emu::detail {

// Writes the value in the requested layout. *ResultLength always receives the
// size the whole answer needs. A buffer smaller than the layout's fixed part
// gets nothing (STATUS_BUFFER_TOO_SMALL); one that holds the fixed part but not
// the rest gets the fixed part and as much of the name as fits, never part of
// the data (STATUS_BUFFER_OVERFLOW).
NTSTATUS WriteKeyValueInformation(KEY_VALUE_INFORMATION_CLASS layout, const std::u16string& name,
                                  const RegistryValue& value, void* buffer, ULONG length, ULONG* resultLength);

}  // namespace emu::detail
