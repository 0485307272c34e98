// Levelled, component-filtered trace output.
//
// IRQL: DebugPrint and DumpBuffer run at any IRQL up to DISPATCH_LEVEL; they
// use only the caller's stack (a 1024-byte text buffer) and take no lock.
// Locking: DebugLevel and DebugMask are written once at load and read without
// a lock.
#pragma once

#include "Platform.h"

// Component bits, the second argument of every DebugPrint.
#define DBG_DRIVER 0x001
#define DBG_PNP 0x002
#define DBG_POWER 0x004
#define DBG_OPENCLOSE 0x008
#define DBG_IOCTL 0x010
#define DBG_WRITE 0x020
#define DBG_READ 0x040
#define DBG_IOCOUNT 0x080
#define DBG_QUEUE 0x100
#define DBG_DATA 0x200
#define DBG_USB 0x400

// Directions of DumpBuffer.
#define DUMP_OUT 0   // bytes written to the instrument ("OUT\t")
#define DUMP_IN 1    // bytes handed to a reader ("IN\t")
#define DUMP_READ 2  // a raw packet from the bulk IN pipe ("RD\t")

#define DEBUG_PRINT_BUFFER_SIZE 1024

extern "C" {

// Highest level that passes among levels 5 and above, and the component bits
// that pass there; levels below 5 always pass.
extern ULONG DebugLevel;
extern ULONG DebugMask;

// Formats a message and hands it to the trace sink if it passes the filter.
// With no sink attached nothing could observe the text, so it is not formatted.
VOID DebugPrint(ULONG Level, ULONG Component, PCSTR Format, ...) TESMO_TRACE_FORMAT(3, 4);

// Writes bytes as lines of up to sixteen "%.2X " pieces after a direction prefix.
VOID DumpBuffer(PUCHAR Data, ULONG Length, ULONG Direction);

}
