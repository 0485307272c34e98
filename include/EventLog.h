// The per-device circular event log: 32-byte entries with a four-character
// tag and three 64-bit values, written newest-first downward through a
// power-of-two ring, meant to be read from memory by a debugger.
//
// IRQL: LogEvent runs at any IRQL up to DISPATCH_LEVEL (interlocked steps
// and four stores, no call, no lock). InitCircularLog and ReleaseCircularLog
// allocate or free and run at PASSIVE_LEVEL.
// Locking: none; the interlocked decrement of LogIndex gives each writer a
// slot. Each writer counts itself in LogWriters around its use of the
// storage, so that ReleaseCircularLog, which takes the storage away first,
// frees it only once no writer can still be in it.
#pragma once

#include "DeviceExtension.h"

extern "C" {

NTSTATUS InitCircularLog(PDEVICE_EXTENSION DeviceExtension, ULONG Pages);
// Takes the storage away from later writers, waits for those still writing,
// then frees it. Later LogEvent calls write nothing.
VOID ReleaseCircularLog(PDEVICE_EXTENSION DeviceExtension);
}

// Packs the device's state for traces and log entries.
static inline ULONG DeviceStateWord(const DEVICE_EXTENSION* Extension)
{
    PDEVICE_EXTENSION Writable = (PDEVICE_EXTENSION)Extension;
    return (ReadQueueState(Writable) << 24) | (ReadSharedULong(&Writable->PnpState) << 16) |
           (ReadSharedULong((ULONG volatile*)&Writable->SystemPowerState) << 8) |
           ReadSharedULong((ULONG volatile*)&Writable->DevicePowerState);
}

// Value conversions of log entries: statuses and counts sign-extend, lengths,
// codes and pointers keep their bits.
#define LOG_SIGNED(value) ((ULONG64)(LONG64)(LONG)(value))
#define LOG_UNSIGNED(value) ((ULONG64)(ULONG)(value))
#define LOG_POINTER(value) ((ULONG64)(ULONG_PTR)(value))
#define LOG_STATE(extension) LOG_SIGNED(DeviceStateWord(extension))

static inline void LogEvent(PDEVICE_EXTENSION Extension, const char Tag[5], ULONG64 Value1, ULONG64 Value2,
                            ULONG64 Value3)
{
    PEVENT_LOG_ENTRY Entries;
    PEVENT_LOG_ENTRY Entry;
    LONG Index;

    // Counted before the storage is looked at (a full barrier), so that the
    // release either sees this writer or this writer sees no storage.
    InterlockedIncrement(&Extension->LogWriters);
    Entries = (PEVENT_LOG_ENTRY)InterlockedCompareExchangePointer((PVOID volatile*)&Extension->LogEntries, NULL, NULL);
    if (Entries != NULL) {
        Index = InterlockedDecrement(&Extension->LogIndex);
        Entry = &Entries[(ULONG)Index & Extension->LogMask];
        Entry->Tag[0] = (UCHAR)Tag[0];
        Entry->Tag[1] = (UCHAR)Tag[1];
        Entry->Tag[2] = (UCHAR)Tag[2];
        Entry->Tag[3] = (UCHAR)Tag[3];
        Entry->Value1 = Value1;
        Entry->Value2 = Value2;
        Entry->Value3 = Value3;
    }
    InterlockedDecrement(&Extension->LogWriters);
}
