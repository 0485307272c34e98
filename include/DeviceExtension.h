// The per-device record, its state enumerations and the driver-wide data.
//
// One DEVICE_EXTENSION exists per instrument, allocated zero-filled by the I/O
// manager as the extension of the functional device object and living exactly
// as long as that object. Every routine reaches it through the device object
// (the queue callbacks through the embedded CancelSafeQueue).
//
// Locking summary: the record has no lock of its own. QueueLock guards
// PendingIrpList and QueuedIrpCount. OutstandingIo, RemoveLockCount, LogIndex,
// LogEntries, StaticBuffer and WaitWakeCancelFlag change only by interlocked
// operations. QueueState is read and written only through ReadQueueState,
// SetQueueState and SetQueueStateUnlessFailing, and PnpState, the current power states and
// the read time-outs only through ReadSharedULong and WriteSharedULong (each
// one interlocked operation): the power path sets the power states while the
// event log's state word reads them from any thread. The rest is
// written during creation, start or removal while the PnP manager serialises
// those requests. The race detector checks all of this (host/guards).
#pragma once

#include "Platform.h"

// QueueState values: whether new work is admitted.
typedef enum _QUEUE_STATE {
    HoldRequests = 0,   // device-control requests wait in the queue; USB refused
    AllowRequests = 1,  // requests are served and USB traffic admitted
    FailRequests = 2    // device-control requests fail with STATUS_DELETE_PENDING
} QUEUE_STATE;

// PnpState values.
typedef enum _DEVICE_PNP_STATE {
    NotStarted = 0,
    Stopped = 1,
    Working = 2,
    PendingStop = 3,
    PendingRemove = 4,
    SurpriseRemoved = 5,
    Removed = 6
} DEVICE_PNP_STATE;

#define DEVICE_STATE_MAP_ENTRIES 7
#define EXTENSION_STAMP 0x01500012
#define STATIC_BUFFER_SIZE 4096
#define EVENT_LOG_ENTRY_SIZE 32
#define EVENT_LOG_ENTRIES_PER_PAGE 128
#define EVENT_LOG_PAGE_SIZE 4096

// One entry of the event log as a debugger reads it from memory.
typedef struct _EVENT_LOG_ENTRY {
    UCHAR Tag[4];    // four characters in reading order
    ULONG Reserved;  // never written: zero from the initial fill
    ULONG64 Value1;
    ULONG64 Value2;
    ULONG64 Value3;
} EVENT_LOG_ENTRY, *PEVENT_LOG_ENTRY;

typedef struct _DEVICE_EXTENSION {
    // ---- identity and the device stack ----
    ULONG Signature;                        // "Kvrl" in memory; set by PnPAddDevice, never read
    ULONG ExtensionStamp;                   // EXTENSION_STAMP; set by PnPAddDevice, never read
    PDEVICE_OBJECT FunctionalDeviceObject;  // our own device object; set by PnPAddDevice
    PDEVICE_OBJECT LowerDeviceObject;       // target of everything passed down; set by PnPAddDevice
    PDEVICE_OBJECT PhysicalDeviceObject;    // the bus's PDO; set by PnPAddDevice, read by start

    // ---- request admission and queueing ----
    IO_REMOVE_LOCK RemoveLock;    // held around PnP, power, create and device-control requests
    LONG RemoveLockCount;         // trace count of holds: AcquireRemoveHold and ReleaseRemoveHold only
    ULONG QueueState;             // QUEUE_STATE; written by PnP and power paths, read everywhere: interlocked only
    IO_CSQ CancelSafeQueue;       // held device-control requests (the platform's cancel-safe queue)
    LIST_ENTRY PendingIrpList;    // held requests linked through Tail.Overlay.ListEntry; QueueLock
    LONG QueuedIrpCount;          // number on PendingIrpList; QueueLock
    KSPIN_LOCK QueueLock;         // taken by the queue callbacks
    KEVENT NoPendingUsbTranfers;  // notification event, signalled exactly while OutstandingIo is 0
    LONG OutstandingIo;           // synchronous USB requests in flight; interlocked only

    // ---- Plug and Play and power ----
    ULONG PnpState;          // DEVICE_PNP_STATE; PnP handlers; Read/WriteSharedULong
    ULONG PreviousPnpState;  // restored by cancel-stop and cancel-remove
    DEVICE_POWER_STATE DeviceStateMap[DEVICE_STATE_MAP_ENTRIES];  // D-state per S-state; AddDevice, capabilities
    SYSTEM_POWER_STATE SystemPowerState;  // current S-state; 0 until the first set-power; Read/WriteSharedULong
    PIRP PendingSystemPowerIrp;           // system power IRP kept while its device IRP runs
    DEVICE_POWER_STATE DevicePowerState;  // current D-state; 0 until the first set-power; Read/WriteSharedULong
    PIO_WORKITEM WorkItem;                // the power path's wait for USB quiet
    ULONG WaitWakeEnabled;                // non-zero: removal cancels our wait-wake IRP

    // ---- data path ----
    PUCHAR StaticBuffer;       // 4096-byte reassembly buffer; null while a reader owns it (exchange)
    ULONG StaticBufferBytes;   // bytes waiting; changed only by the buffer's owner
    ULONG StaticBufferOffset;  // index of the first waiting byte; owner only
    KEVENT StaticBufferEvent;  // synchronization event: set each time the buffer is given back
    PIRP WaitWakeIrp;          // our own wait-wake request; exchanged atomically
    LONG WaitWakeCancelFlag;   // hand-off between wait-wake completion and cancellation

    // ---- USB configuration (written at start, read by the data path) ----
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // pool copy, wTotalLength bytes
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;  // pool copy of the selected interfaces
    USBD_PIPE_HANDLE InPipeHandle;              // bulk IN, endpoint 0x82
    USBD_PIPE_HANDLE OutPipeHandle;             // bulk OUT, endpoint 0x01
    USHORT InMaxPacketSize;
    USHORT OutMaxPacketSize;
    // The read time-outs: SET_TIMEOUTS, the start and the status query's
    // read-ahead write them, each read reads them; Read/WriteSharedULong.
    ULONG ReadIntervalTimeout;         // stored by SET_TIMEOUTS, never read
    ULONG ReadTotalTimeoutConstant;    // ms; 120000 after start
    ULONG ReadTotalTimeoutMultiplier;  // ms per byte; 0 after start

    // ---- names and links (owned buffers, released at removal) ----
    UNICODE_STRING DeviceName;         // \Device\Tesmo<n>, 258-byte buffer, also used NUL-terminated
    UNICODE_STRING SymbolicLinkName;   // \DosDevices\COM<n>, empty until the link exists
    UNICODE_STRING InterfaceLinkName;  // the device interface's link

    // ---- event log ----
    LONG LogIndex;                // running write index, decremented before each entry
    ULONG LogSize;                // bytes of storage
    ULONG LogMask;                // entries - 1
    PEVENT_LOG_ENTRY LogEntries;  // the storage, or null

    // ---- what removal, restart and power need to stay sound ----
    // The reassembly buffer as allocated, whoever owns it at the moment
    // (StaticBuffer is null while a reader has it). Set by the first
    // configuration and reused by later ones; cleared by ReleaseMemory.
    PUCHAR ReassemblyBlock;
    // Held by read, write and device-control requests while they use the
    // record; ReleaseMemory drains it, so nothing touches released storage.
    IO_REMOVE_LOCK RequestLock;
    // The IRPs SynchCallUSBD is waiting for, so that a bounded wait for USB
    // quiet can cancel them; guarded by UsbRequestLock (DISPATCH_LEVEL).
    KSPIN_LOCK UsbRequestLock;
    LIST_ENTRY UsbRequestsInFlight;
    // Dispatches held requests after a return to D0 when that completion ran
    // where the dispatch routines may not wait.
    PIO_WORKITEM DrainWorkItem;
    LONG DrainQueued;  // 1 while DrainWorkItem is queued; interlocked
    // 1 while WorkItem (the power path's wait for USB quiet) is queued or
    // running; interlocked. A device power request that finds it taken waits
    // in its own thread instead.
    LONG WorkItemQueued;
    // Guards ConfigurationDescriptor and ConfigurationDescriptorLength against
    // a restart that replaces them while IOCTL_READ_CONFIG_DESCRIPTOR copies.
    // Set by the start, read by the I/O control, both under the lock.
    KSPIN_LOCK DescriptorLock;
    ULONG ConfigurationDescriptorLength;  // bytes read into ConfigurationDescriptor
    // The driver's own wait-wake request while it is outstanding: recorded by
    // the power dispatch when a wait-wake request arrives while
    // WaitWakeIssuing is set (whoever asks for one sets it first, then calls
    // PoRequestPowerIrp), kept until the request is finished. A wait-wake
    // request that is not the driver's own passes through untouched.
    PIRP OwnWaitWakeIrp;
    LONG WaitWakeIssuing;       // interlocked; taken by the next wait-wake request
    ULONG InterfaceInfoLength;  // bytes of InterfaceInfo: every selected interface, one after the other
    // Event-log writers in progress (interlocked). Removal takes LogEntries
    // away first, then waits for this to drop to 0 before freeing the storage:
    // a cancel routine can still run the queue callbacks, which log, after
    // removal has emptied the queue.
    LONG LogWriters;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// QueueState is written by the PnP and power paths and read by every request
// path without a lock. Each access is one interlocked operation (a full
// barrier on the platform), so that a reader sees a whole, current value and
// the re-checks that close the gate's races order against the writers.
static inline ULONG ReadQueueState(PDEVICE_EXTENSION Extension)
{
    // A comparand no state has: nothing is ever written.
    return (ULONG)InterlockedCompareExchange((LONG volatile*)&Extension->QueueState, -1, -1);
}

static inline VOID SetQueueState(PDEVICE_EXTENSION Extension, ULONG NewState)
{
    InterlockedExchange((LONG volatile*)&Extension->QueueState, (LONG)NewState);
}

// The power path's change of the gate: made unless removal has set it to
// FailRequests, as one compare-and-exchange, so that a power transition that
// races a surprise removal never opens the gate again. Returns whether the
// gate was changed.
static inline BOOLEAN SetQueueStateUnlessFailing(PDEVICE_EXTENSION Extension, ULONG NewState)
{
    LONG Current;

    for (;;) {
        Current = (LONG)ReadQueueState(Extension);
        if (Current == FailRequests) {
            return FALSE;
        }
        if (InterlockedCompareExchange((LONG volatile*)&Extension->QueueState, (LONG)NewState, Current) == Current) {
            return TRUE;
        }
    }
}

// A 32-bit field that one path writes and others read without a lock
// (PnpState, the power states, the read time-outs): each access is one interlocked operation,
// so that a reader sees a whole, current value. A read adds nothing.
static inline ULONG ReadSharedULong(ULONG volatile* Field)
{
    return (ULONG)InterlockedExchangeAdd((LONG volatile*)Field, 0);
}

static inline VOID WriteSharedULong(ULONG volatile* Field, ULONG Value)
{
    InterlockedExchange((LONG volatile*)Field, (LONG)Value);
}

// The power states go through the same two routines.
static_assert(sizeof(SYSTEM_POWER_STATE) == sizeof(ULONG) && sizeof(DEVICE_POWER_STATE) == sizeof(ULONG),
              "a power state is one 32-bit word");

// Driver-wide data. DeviceInstanceCounter numbers the device objects; it only
// grows (interlocked) while the image stays loaded.
extern "C" LONG DeviceInstanceCounter;
