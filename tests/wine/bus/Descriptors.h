// The standard instrument's descriptors: interface 0 with an interrupt IN
// endpoint 0x83, interface 1 with bulk OUT 0x01 and bulk IN 0x82, full speed
// (64-byte packets). Constant data, any IRQL.
#pragma once

#include "Kernel.h"

#define INSTRUMENT_OUT_ENDPOINT 0x01
#define INSTRUMENT_IN_ENDPOINT 0x82
#define INSTRUMENT_CONFIGURATION_SIZE 48

extern "C" {
extern const UCHAR InstrumentDeviceDescriptor[18];
extern const UCHAR InstrumentConfigurationDescriptor[INSTRUMENT_CONFIGURATION_SIZE];

// The interface descriptor with this number and alternate setting, or NULL.
const USB_INTERFACE_DESCRIPTOR* FindInterfaceDescriptor(UCHAR Number, UCHAR AlternateSetting);
}
