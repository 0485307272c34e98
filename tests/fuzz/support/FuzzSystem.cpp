#include "FuzzSystem.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "DriverImage.h"
#include "emu/Threads.h"

namespace tesmo::fuzz {

void Finding(const char* what)
{
    std::fprintf(stderr, "fuzz: finding: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

void Say(const char* format, ...)
{
    static const bool verbose = std::getenv("TESMO_FUZZ_VERBOSE") != nullptr;
    if (!verbose) return;
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
}

FuzzSystem::FuzzSystem()
{
    PinDriverImage();
    RestoreDriverImage();
    emu::SetThreadName("fuzz");
    emu::SystemOptions options;
    // An application's mistake here is the target's own fault: it ends the
    // run as a driver's would, so that the target gets fixed.
    options.violationHandler = [](const emu::Violation& violation) {
        std::fprintf(stderr, "fuzz: verifier finding\n%s\n", emu::Describe(violation).c_str());
        std::fflush(stderr);
        std::abort();
    };
    options.watchdog = kWatchdog;
    // Time limits of minutes pass whenever every thread waits.
    options.autoAdvanceClock = true;
    system_ = std::make_unique<emu::System>(std::move(options));
    driver_.emplace(*system_);
    // The input's thread is the application: the clock waits for it while it
    // runs its own code, so that time moves at the same points every run.
    emu::ApiScope application;
}

FuzzSystem::~FuzzSystem()
{
    emu::DetachThread();
    driver_.reset();
    system_->Shutdown();
    system_.reset();
}

}  // namespace tesmo::fuzz
