// Diagnostics: the trace routine with its filter, the event log's storage,
// the hex dump and the state-name tables. All of it is resident: it runs in
// completion routines and under spin locks.
#include <stdarg.h>

#include "DebugPrint.h"
#include "EventLog.h"
#include "NameTables.h"

extern "C" {

ULONG DebugLevel = 5;
ULONG DebugMask = 0xFFFFFFFF;

static BOOLEAN DebugPrintPasses(ULONG Level, ULONG Component)
{
    if (Level < 5) {
        return TRUE;
    }
    return (Level <= DebugLevel && (Component & DebugMask) != 0) ? TRUE : FALSE;
}

VOID DebugPrint(ULONG Level, ULONG Component, PCSTR Format, ...)
{
    CHAR Text[DEBUG_PRINT_BUFFER_SIZE];
    va_list Arguments;
    NTSTATUS Status;

    if (Format == NULL) {
        return;
    }
    // With nobody listening the text could never be seen: skip the formatting.
    if (!TesmoTraceSinkAttached() || !DebugPrintPasses(Level, Component)) {
        return;
    }
    va_start(Arguments, Format);
    Status = RtlStringCbVPrintfA(Text, sizeof(Text), Format, Arguments);
    va_end(Arguments);
    // A message longer than 1023 characters is dropped whole, not passed on cut.
    if (!NT_SUCCESS(Status)) {
        return;
    }
    TesmoTraceEmit(Level, Component, Text);
}

VOID DumpBuffer(PUCHAR Data, ULONG Length, ULONG Direction)
{
    ULONG Index;

    if (!TesmoTraceSinkAttached() || !DebugPrintPasses(5, DBG_DATA)) {
        return;
    }
    for (Index = 0; Index < Length; Index++) {
        if ((Index % 16) == 0) {
            if (Direction == DUMP_READ) {
                DebugPrint(5, DBG_DATA, "RD\t");
            } else if (Direction == DUMP_IN) {
                DebugPrint(5, DBG_DATA, "IN\t");
            } else if (Direction == DUMP_OUT) {
                DebugPrint(5, DBG_DATA, "OUT\t");
            }
        }
        DebugPrint(5, DBG_DATA, "%.2X ", Data[Index]);
        if ((Index % 16) == 15) {
            DebugPrint(5, DBG_DATA, "\n");
        }
    }
    DebugPrint(5, DBG_DATA, "\n");
}

NTSTATUS InitCircularLog(PDEVICE_EXTENSION DeviceExtension, ULONG Pages)
{
    ULONG Size;

    if (Pages == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Size = Pages * EVENT_LOG_PAGE_SIZE;
    DeviceExtension->LogEntries = (PEVENT_LOG_ENTRY)ExAllocatePoolWithTag(NonPagedPool, Size, TESMO_POOL_TAG);
    if (DeviceExtension->LogEntries == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(DeviceExtension->LogEntries, Size);
    DeviceExtension->LogIndex = 0;
    DeviceExtension->LogSize = Size;
    DeviceExtension->LogMask = Size / EVENT_LOG_ENTRY_SIZE - 1;
    return STATUS_SUCCESS;
}

VOID ReleaseCircularLog(PDEVICE_EXTENSION DeviceExtension)
{
    PEVENT_LOG_ENTRY Entries;

    Entries = (PEVENT_LOG_ENTRY)InterlockedExchangePointer((PVOID volatile*)&DeviceExtension->LogEntries, NULL);
    if (Entries == NULL) {
        return;
    }
    // A writer that counted itself before the exchange may still be storing
    // its entry: four stores, at most a moment.
    while (InterlockedCompareExchange(&DeviceExtension->LogWriters, 0, 0) != 0) {
        YieldProcessor();
    }
    ExFreePoolWithTag(Entries, TESMO_POOL_TAG);
}

PCSTR QueueStateString(LONG State)
{
    switch (State) {
    case HoldRequests:
        return "HoldRequests";
    case AllowRequests:
        return "AllowRequests";
    case FailRequests:
        return "FailRequests";
    default:
        return "Unknown";
    }
}

PCSTR PnpStateString(ULONG State)
{
    static const PCSTR Names[] = {"NotStarted",    "Stopped",         "Working", "PendingStop",
                                  "PendingRemove", "SurpriseRemoved", "Removed"};
    return State < sizeof(Names) / sizeof(Names[0]) ? Names[State] : "Unknown";
}

PCSTR PnpMinorFunctionString(ULONG MinorFunction)
{
    static const PCSTR Names[] = {
        "IRP_MN_START_DEVICE",
        "IRP_MN_QUERY_REMOVE_DEVICE",
        "IRP_MN_REMOVE_DEVICE",
        "IRP_MN_CANCEL_REMOVE_DEVICE",
        "IRP_MN_STOP_DEVICE",
        "IRP_MN_QUERY_STOP_DEVICE",
        "IRP_MN_CANCEL_STOP_DEVICE",
        "IRP_MN_QUERY_DEVICE_RELATIONS",
        "IRP_MN_QUERY_INTERFACE",
        "IRP_MN_QUERY_CAPABILITIES",
        "IRP_MN_QUERY_RESOURCES",
        "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
        "IRP_MN_QUERY_DEVICE_TEXT",
        "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
        "Unknown",
        "IRP_MN_READ_CONFIG",
        "IRP_MN_WRITE_CONFIG",
        "IRP_MN_EJECT",
        "IRP_MN_SET_LOCK",
        "IRP_MN_QUERY_ID",
        "IRP_MN_QUERY_PNP_DEVICE_STATE",
        "IRP_MN_QUERY_BUS_INFORMATION",
        "IRP_MN_DEVICE_USAGE_NOTIFICATION",
        "IRP_MN_SURPRISE_REMOVAL",
    };
    ULONG Code = MinorFunction & 0xFF;
    return Code < sizeof(Names) / sizeof(Names[0]) ? Names[Code] : "Unknown";
}

PCSTR PowerMinorFunctionString(ULONG MinorFunction)
{
    switch (MinorFunction & 0xFF) {
    case IRP_MN_WAIT_WAKE:
        return "IRP_MN_WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE:
        return "IRP_MN_POWER_SEQUENCE";
    case IRP_MN_SET_POWER:
        return "IRP_MN_SET_POWER";
    case IRP_MN_QUERY_POWER:
        return "IRP_MN_QUERY_POWER";
    default:
        return "Unknown";
    }
}

}  // extern "C"
