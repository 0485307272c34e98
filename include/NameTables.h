// Names of queue states, PnP states and PnP and power minor codes for the
// traces. Pure lookups returning constant resident strings: any IRQL, no lock,
// nothing to release. Every lookup answers "Unknown" for a value it does not list.
#pragma once

#include "Platform.h"

extern "C" {

PCSTR QueueStateString(LONG State);
PCSTR PnpStateString(ULONG State);
PCSTR PnpMinorFunctionString(ULONG MinorFunction);
PCSTR PowerMinorFunctionString(ULONG MinorFunction);

}
