// Inspection of object references for tests: how many references keep a
// device object's memory alive (dispatches in progress, open handles, work
// items queued or running, ObReferenceObject).
//
// Any thread; reads one counter.
#pragma once

struct _DEVICE_OBJECT;

namespace emu {

int DeviceReferenceCount(_DEVICE_OBJECT* device);

}  // namespace emu
