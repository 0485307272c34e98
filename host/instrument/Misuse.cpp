#include "instrument/Misuse.h"

#include <cstdio>
#include <cstdlib>

#include "emu/System.h"

namespace emu::usb {

void ReportInstrumentMisuse(const std::string& message)
{
    if (System::Exists()) {
        System::Current().verifier().Report(Rule::NotModelled, nullptr, "instrument: " + message);
        return;
    }
    std::fprintf(stderr, "instrument: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace emu::usb
