// The test bus's control device, shared by the bus driver and the programs
// that drive it from user mode. Test-only: nothing here ships.
//
// The control device is \Device\TesmoTestBus, reachable as \\.\TesmoTestBus
// while the bus device is started. Its I/O controls are buffered.
#pragma once

#define TESTBUS_CONTROL_DEVICE_NAME L"\\Device\\TesmoTestBus"
#define TESTBUS_CONTROL_LINK_NAME L"\\DosDevices\\TesmoTestBus"
#define TESTBUS_CONTROL_WIN32_PATH "\\\\.\\TesmoTestBus"

#define TESTBUS_CTL_CODE(Function) ((0x00000022u << 16) | ((Function) << 2))

// Plugs the instrument in: input one TESTBUS_PLUG_OPTIONS. Fails with
// STATUS_DEVICE_BUSY while an instrument is plugged in.
#define IOCTL_TESTBUS_PLUG TESTBUS_CTL_CODE(0x900)
// Unplugs the instrument: the bus reports it gone and the PnP manager
// removes its stack. Fails with STATUS_NO_SUCH_DEVICE when none is plugged in.
#define IOCTL_TESTBUS_UNPLUG TESTBUS_CTL_CODE(0x901)
// Output one TESTBUS_COUNTERS: what the instrument's device has seen.
#define IOCTL_TESTBUS_COUNTERS TESTBUS_CTL_CODE(0x902)
// Asks the PnP manager to enumerate the bus again; output one unsigned int,
// the bus-relations queries started before this request. The PnP manager
// enumerates on one thread, one device at a time: once a later query has
// started, everything it was doing before (a start, a removal) is done.
#define IOCTL_TESTBUS_ENUMERATE TESTBUS_CTL_CODE(0x903)
// Disables the instrument's hub port, as after an electrical fault: the
// port stays connected but not enabled until a port reset. Fails with
// STATUS_NO_SUCH_DEVICE when no instrument is plugged in.
#define IOCTL_TESTBUS_DISABLE_PORT TESTBUS_CTL_CODE(0x904)

// The instrument's answer to *IDN? (without its line end), and the packet
// size of its bulk pipes.
#define INSTRUMENT_IDENTITY "TESMO,Model 7,SN 000123,FW 1.5"
#define INSTRUMENT_PACKET_SIZE 64

// The hardware ID the instrument reports (and the product INF under Wine matches).
#define TESTBUS_INSTRUMENT_HARDWARE_ID "USB\\VID_7E5D&PID_0007"

typedef struct _TESTBUS_PLUG_OPTIONS {
    // Non-zero: the device fails every select-configuration request, so the
    // function driver's start fails.
    unsigned int RefuseConfiguration;
    // Non-zero: the function driver above the instrument keeps Wine's own
    // registry access checks (see KernelModeAccess.h), which are stricter
    // than Windows' for kernel-mode code.
    unsigned int WineRegistryAccess;
} TESTBUS_PLUG_OPTIONS;

typedef struct _TESTBUS_COUNTERS {
    unsigned int Plugged;              // 1 while an instrument is plugged in
    unsigned int Started;              // start requests the device completed
    unsigned int Configurations;       // select-configuration requests
    unsigned int BulkOutBytes;         // bytes taken from the OUT pipe
    unsigned int BulkInBytes;          // bytes handed out on the IN pipe
    unsigned int CancelledTransfers;   // IN transfers that ended cancelled
    unsigned int PortStatusQueries;
    unsigned int PortResets;
    unsigned int RelationQueries;      // bus-relations queries started (not reset by plugging)
} TESTBUS_COUNTERS;
