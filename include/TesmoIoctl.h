// The port's private I/O-control codes, shared with user mode and tests.
// Serial codes are the platform's IOCTL_SERIAL_* set.
#pragma once

#define TESMO_FILE_DEVICE_UNKNOWN 0x00000022
#define TESMO_METHOD_BUFFERED 0
#define TESMO_FILE_ANY_ACCESS 0
#define TESMO_CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

// Copies the instrument's USB device descriptor (bLength bytes).
#define IOCTL_READ_DEVICE_DESCRIPTOR \
    TESMO_CTL_CODE(TESMO_FILE_DEVICE_UNKNOWN, 2800, TESMO_METHOD_BUFFERED, TESMO_FILE_ANY_ACCESS)
// Copies up to the output length of the whole configuration descriptor.
#define IOCTL_READ_CONFIG_DESCRIPTOR \
    TESMO_CTL_CODE(TESMO_FILE_DEVICE_UNKNOWN, 2801, TESMO_METHOD_BUFFERED, TESMO_FILE_ANY_ACCESS)
// Resets the hub port when the device is connected but its port is disabled.
#define IOCTL_RESET_PARENT_PORT \
    TESMO_CTL_CODE(TESMO_FILE_DEVICE_UNKNOWN, 2802, TESMO_METHOD_BUFFERED, TESMO_FILE_ANY_ACCESS)
// Resets the pipe recorded in the file object's FsContext.
#define IOCTL_RESET_PIPE \
    TESMO_CTL_CODE(TESMO_FILE_DEVICE_UNKNOWN, 2803, TESMO_METHOD_BUFFERED, TESMO_FILE_ANY_ACCESS)
