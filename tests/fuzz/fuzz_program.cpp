// The explorer's programs, read from the input instead of drawn from a
// seed: instruments, what each port's application and its companion thread
// do, and the control thread's PnP, power, clock and allocation failures,
// run under a controlled schedule whose seed the input gives too. The
// explorer's oracles judge the run (bytes lost, repeated or reordered,
// answers missing, requests hung, the verifier's findings at shutdown).
#include <fuzzer/FuzzedDataProvider.h>
#include <signal.h>

#include <cstdio>

#include "DriverImage.h"
#include "FuzzSystem.h"
#include "explore/Program.h"
#include "explore/Scenario.h"
#include "tesmo/control.h"

namespace tesmo::fuzz {
namespace {

using explore::AppOp;
using explore::AppStep;
using explore::ControlOp;
using explore::ControlStep;
using explore::DeviceSpec;
using explore::Program;

constexpr int kMaxDevices = 2;
constexpr int kMaxAppSteps = 24;
constexpr int kMaxCompanionSteps = 8;
constexpr int kMaxControlSteps = 8;

// Buffered I/O only, as the explorer's own: the emulation does not model the
// MDLs of direct I/O.
std::uint32_t ConsumeCode(FuzzedDataProvider& input)
{
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0: return 0x222BC0 + 4 * input.ConsumeIntegralInRange<std::uint32_t>(0, 3);
    case 1: return 0x1B0000 | (input.ConsumeIntegralInRange<std::uint32_t>(0, 47) << 2);
    case 2: return 0x1B0000 | (input.ConsumeIntegral<std::uint16_t>() & ~3u);
    default: return input.ConsumeIntegral<std::uint32_t>() & ~3u;
    }
}

AppStep ConsumeAppStep(FuzzedDataProvider& input, const DeviceSpec& device)
{
    AppStep step{static_cast<AppOp>(input.ConsumeIntegralInRange(0, static_cast<int>(AppOp::Pause)))};
    switch (step.op) {
    case AppOp::Read: step.a = input.ConsumeIntegralInRange<std::uint32_t>(0, 4 * device.packetSize); break;
    case AppOp::Write: step.a = input.ConsumeIntegralInRange<std::uint32_t>(1, 700); break;
    case AppOp::SetState: step.a = input.ConsumeIntegralInRange<std::uint32_t>(0, 3); break;
    case AppOp::SetTimeouts:
        step.a = input.ConsumeIntegralInRange<std::uint32_t>(0, 2);
        step.b = input.ConsumeIntegralInRange<std::uint32_t>(0, 59);
        break;
    case AppOp::Purge: step.a = input.ConsumeIntegralInRange<std::uint32_t>(1, 15); break;
    case AppOp::FuzzControl:
        step.a = ConsumeCode(input);
        step.b = input.ConsumeIntegralInRange<std::uint32_t>(0, 79) |
                 (input.ConsumeIntegralInRange<std::uint32_t>(0, 599) << 16);
        step.seed = input.ConsumeIntegral<std::uint32_t>();
        break;
    case AppOp::Pause:
        step.a = input.ConsumeIntegralInRange<std::uint32_t>(0, 2999);
        step.b = input.ConsumeBool() ? 1 : 0;
        break;
    default: break;
    }
    return step;
}

Program ConsumeProgram(FuzzedDataProvider& input)
{
    Program program;
    program.seed = input.ConsumeIntegral<std::uint64_t>();
    int devices = input.ConsumeIntegralInRange(1, kMaxDevices);
    for (int d = 0; d < devices; ++d) {
        DeviceSpec device;
        device.kind = input.ConsumeIntegralInRange(TESMO_INSTRUMENT_COMMAND, TESMO_INSTRUMENT_LOOPBACK);
        device.packetSize = input.ConsumeBool() ? 512 : 64;
        device.layout = input.ConsumeIntegralInRange(0, 7) == 0
                            ? input.ConsumeIntegralInRange(TESMO_LAYOUT_STANDARD, TESMO_LAYOUT_INTERFACE_NUMBER_GAP)
                            : TESMO_LAYOUT_STANDARD;
        device.frameTiming = input.ConsumeIntegralInRange(0, 3) == 0;
        program.devices.push_back(device);
        program.apps.emplace_back();
        program.companions.emplace_back();
    }
    // The steps, interleaved in the input so that a short input still gives
    // every thread something to do.
    for (int budget = kMaxAppSteps * devices; budget > 0 && input.remaining_bytes() != 0; --budget) {
        int d = input.ConsumeIntegralInRange(0, devices - 1);
        switch (input.ConsumeIntegralInRange(0, 7)) {
        case 0:
            if (program.control.size() < kMaxControlSteps) {
                ControlStep step{static_cast<ControlOp>(
                                     input.ConsumeIntegralInRange(0, static_cast<int>(ControlOp::FailAllocation))),
                                 d};
                if (step.op == ControlOp::FailAllocation) {
                    step.device = input.ConsumeIntegralInRange(TESMO_FAULT_POOL, TESMO_FAULT_WORK_ITEM);
                    step.amount = input.ConsumeIntegralInRange<std::int64_t>(1, 60);
                } else {
                    step.amount = input.ConsumeIntegralInRange<std::int64_t>(0, 2'999'999);  // up to 0.3 s
                }
                program.control.push_back(step);
            }
            break;
        case 1:
            if (program.companions[d].size() < kMaxCompanionSteps) {
                static constexpr AppOp kinds[] = {AppOp::ClearError, AppOp::SetState, AppOp::CancelledControl};
                AppStep step{kinds[input.ConsumeIntegralInRange(0, 2)]};
                step.a = input.ConsumeIntegralInRange<std::uint32_t>(0, 3);
                program.companions[d].push_back(step);
            }
            break;
        default:
            if (program.apps[d].size() < kMaxAppSteps) {
                program.apps[d].push_back(ConsumeAppStep(input, program.devices[d]));
            }
        }
    }
    return program;
}

}  // namespace
}  // namespace tesmo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tesmo::fuzz;
    FuzzedDataProvider input(data, size);
    tesmo::explore::Schedule schedule;
    schedule.depth = input.ConsumeIntegralInRange(1u, 5u);
    Program program = ConsumeProgram(input);
    Say("%s", tesmo::explore::Describe(program).c_str());
    // The scenario puts a handler of its own on SIGABRT; the engine's must be
    // back before a finding aborts, or the input would not be saved.
    struct sigaction engine {};
    sigaction(SIGABRT, nullptr, &engine);
    RestoreDriverImage();
    tesmo::explore::Outcome outcome = tesmo::explore::RunScenario(program, schedule);
    sigaction(SIGABRT, &engine, nullptr);
    if (!outcome.failed) return 0;
    std::fprintf(stderr, "%s", tesmo::explore::Describe(program).c_str());
    for (const auto& complaint : outcome.complaints) std::fprintf(stderr, "  %s\n", complaint.c_str());
    for (const auto& line : outcome.traceTail) std::fputs(line.c_str(), stderr);
    Finding("the explorer's oracles failed");
}
