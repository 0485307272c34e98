// The test bus driver: a root-enumerated bus with one child, the measuring
// instrument, which it presents the way a USB bus driver presents a device.
// Test-only, for running the product driver inside another NT kernel.
//
// Three kinds of device object share the driver's dispatch routines:
//   the bus FDO      on the root PDO the PnP manager made for the bus;
//   the instrument   the child PDO the product driver attaches to;
//   the control      \Device\TesmoTestBus, through which a test plugs and
//                    unplugs the instrument (TestBusControl.h).
//
// IRQL and locking: PnP and control requests arrive at PASSIVE_LEVEL; USB
// requests at up to DISPATCH_LEVEL. The bus's ChildLock (spin lock) guards
// its Child pointer; the instrument's Lock (spin lock) guards the instrument,
// its pending IN transfers and its Gone flag. Counters change only by
// interlocked operations. No lock is held while an IRP is completed or sent.
#pragma once

#include "Instrument.h"
#include "Kernel.h"
#include "TestBusControl.h"

enum DEVICE_ROLE : ULONG { RoleBus = 0x42555331, RoleInstrument = 0x44455631, RoleControl = 0x43544C31 };

typedef struct _BUS_EXTENSION {
    DEVICE_ROLE Role;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT RootPdo;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Control;
    KSPIN_LOCK ChildLock;
    PDEVICE_OBJECT Child;  // from plugging until the PnP manager removes it
    // The last instrument's counters; they outlive its device object.
    TESTBUS_COUNTERS Counters;
} BUS_EXTENSION, *PBUS_EXTENSION;

typedef struct _INSTRUMENT_EXTENSION {
    DEVICE_ROLE Role;
    PDEVICE_OBJECT Self;
    PBUS_EXTENSION Bus;
    TESTBUS_PLUG_OPTIONS Options;
    // Cleared by unplugging: the bus no longer reports the device, and its
    // removal deletes the device object.
    volatile LONG Present;
    volatile LONG PortDisabled;  // connected but not enabled until a port reset
    KSPIN_LOCK Lock;
    BOOLEAN Gone;  // unplugged or removed: transfers fail
    INSTRUMENT Instrument;
    LIST_ENTRY PendingIn;  // IN transfers waiting for a packet
} INSTRUMENT_EXTENSION, *PINSTRUMENT_EXTENSION;

typedef struct _CONTROL_EXTENSION {
    DEVICE_ROLE Role;
    PBUS_EXTENSION Bus;
} CONTROL_EXTENSION, *PCONTROL_EXTENSION;

extern "C" {

// Bus.cpp
NTSTATUS BusAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT RootPdo);
NTSTATUS BusPnp(PBUS_EXTENSION Bus, PIRP Irp);
NTSTATUS BusPassDown(PBUS_EXTENSION Bus, PIRP Irp);
NTSTATUS ControlDeviceControl(PCONTROL_EXTENSION Control, PIRP Irp);
VOID BusForgetChild(PBUS_EXTENSION Bus, PDEVICE_OBJECT Child);

// InstrumentPnp.cpp
NTSTATUS InstrumentPnp(PINSTRUMENT_EXTENSION Device, PIRP Irp);
NTSTATUS InstrumentPower(PINSTRUMENT_EXTENSION Device, PIRP Irp);

// Urb.cpp
NTSTATUS InstrumentInternalDeviceControl(PINSTRUMENT_EXTENSION Device, PIRP Irp);
// Fails every IN transfer still waiting (the device is gone).
VOID InstrumentFailPendingTransfers(PINSTRUMENT_EXTENSION Device);

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
VOID CountUp(volatile unsigned int* Counter, ULONG Amount);

}
