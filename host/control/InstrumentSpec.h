// Turns an application's description of an instrument (tesmo_instrument) into
// the simulated instrument and the USB device set-up the bus plugs in.
//
// Plain functions; any thread, no locks, no emulated system needed.
#pragma once

#include <memory>

#include "usb/Instrument.h"
#include "tesmo/control.h"
#include "usb/DeviceConfig.h"

namespace tesmo::control {

struct InstrumentBuild {
    std::unique_ptr<emu::usb::Instrument> instrument;
    emu::usb::DeviceConfig config;
};

// The defaults tesmo_instrument_init documents; false for an unknown kind.
bool InitInstrumentSpec(tesmo_instrument& spec, int kind);

// Null instrument when the description is invalid: an unknown kind or
// layout, a packet size other than 64 or 512, a struct_size that does not
// match, or a value outside the range tesmo/control.h gives for it.
InstrumentBuild BuildInstrument(const tesmo_instrument& spec);

}  // namespace tesmo::control
