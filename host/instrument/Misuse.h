// How the instruments fail loudly: a configuration or a call that the
// simulated devices do not model is reported to the current system's verifier
// as NotModelled (so the test that caused it fails); without a system it stops
// the process.
//
// Any thread, no lock taken beyond the verifier's own.
#pragma once

#include <string>

namespace emu::usb {

void ReportInstrumentMisuse(const std::string& message);

}  // namespace emu::usb
