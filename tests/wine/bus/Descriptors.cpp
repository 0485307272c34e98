// The instrument's descriptor bytes, as the device sends them.
#include "Descriptors.h"

extern "C" {

const UCHAR InstrumentDeviceDescriptor[18] = {
    18, USB_DEVICE_DESCRIPTOR_TYPE,
    0x00, 0x02,  // USB 2.0
    0x00, 0x00, 0x00,  // class in the interfaces
    64,  // endpoint 0 packet size
    0x5D, 0x7E,  // vendor
    0x07, 0x00,  // product
    0x50, 0x01,  // release 1.50
    0, 0, 0,  // no strings
    1,  // configurations
};

const UCHAR InstrumentConfigurationDescriptor[INSTRUMENT_CONFIGURATION_SIZE] = {
    9, USB_CONFIGURATION_DESCRIPTOR_TYPE, INSTRUMENT_CONFIGURATION_SIZE, 0,
    2,  // interfaces
    1,  // configuration value
    0,  // no string
    0x80,  // bus powered
    50,  // 100 mA
    // interface 0: status, one interrupt IN endpoint
    9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 1, 0xFF, 0x00, 0x00, 0,
    7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8, 0, 10,
    // interface 1: data, bulk OUT and bulk IN
    9, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 2, 0xFF, 0x00, 0x00, 0,
    7, USB_ENDPOINT_DESCRIPTOR_TYPE, INSTRUMENT_OUT_ENDPOINT, USB_ENDPOINT_TYPE_BULK, 64, 0, 0,
    7, USB_ENDPOINT_DESCRIPTOR_TYPE, INSTRUMENT_IN_ENDPOINT, USB_ENDPOINT_TYPE_BULK, 64, 0, 0,
};

const USB_INTERFACE_DESCRIPTOR* FindInterfaceDescriptor(UCHAR Number, UCHAR AlternateSetting)
{
    ULONG Offset = InstrumentConfigurationDescriptor[0];

    while (Offset + 2 <= INSTRUMENT_CONFIGURATION_SIZE) {
        const UCHAR* Descriptor = &InstrumentConfigurationDescriptor[Offset];
        if (Descriptor[1] == USB_INTERFACE_DESCRIPTOR_TYPE && Descriptor[2] == Number &&
            Descriptor[3] == AlternateSetting) {
            return (const USB_INTERFACE_DESCRIPTOR*)Descriptor;
        }
        Offset += Descriptor[0];
    }
    return NULL;
}

}  // extern "C"
