// The platform headers for the test bus driver, with the same C++
// workarounds the product image needs for the DDK that mingw-w64 ships.
#pragma once

#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
extern "C" {
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>
}

// Pool tag: reads "TBus" in memory.
#define TESTBUS_POOL_TAG ((ULONG)0x73754254)

// Every line of the bus's own trace starts with this, so that the test log
// tells the bus's lines from the product driver's.
#define TestBusTrace(...) DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "testbus: " __VA_ARGS__)

// A counted string over a constant wide literal.
#define TESTBUS_STRING(text) { sizeof(text) - sizeof(WCHAR), sizeof(text), const_cast<PWCH>(text) }
