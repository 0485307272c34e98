// The emulated serial settings: one record for the whole driver, shared by all
// devices, set at load and never reset.
//
// IRQL: read and written at up to DISPATCH_LEVEL under SerialSettingsLock, so
// that a set racing a get never tears a member.
#pragma once

#include "Platform.h"

typedef struct _SERIAL_SETTINGS {
    ULONG BaudRate;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_QUEUE_SIZE QueueSize;
    ULONG WaitMask;
    ULONG ModemControl;
    ULONG FifoControl;
    ULONG ModemStatus;  // always 0: the port has no modem lines
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_CHARS Chars;
} SERIAL_SETTINGS, *PSERIAL_SETTINGS;

extern "C" {
extern SERIAL_SETTINGS SerialSettings;
extern KSPIN_LOCK SerialSettingsLock;
}
