#include "Program.h"

#include <algorithm>
#include <random>
#include <sstream>

#include "link/InstrumentSpec.h"
#include "tesmo/control.h"

namespace tesmo::explore {

namespace {

// The private codes and the serial codes the driver answers, plus a few it
// does not know: each has its own fault family.
uint32_t FuzzedCode(std::mt19937_64& random)
{
    // Buffered I/O only: the emulation does not model the MDLs of direct I/O.
    switch (random() % 4) {
    case 0: return 0x222BC0 + 4 * static_cast<uint32_t>(random() % 4);            // the private codes
    case 1: return 0x1B0000 | (static_cast<uint32_t>(random() % 48) << 2);        // serial codes
    case 2: return 0x1B0000 | (static_cast<uint32_t>(random() % 0x10000) & ~3u);  // any function and access
    default: return static_cast<uint32_t>(random()) & ~3u;
    }
}

AppStep RandomAppStep(std::mt19937_64& random, const DeviceSpec& device)
{
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    AppStep step{AppOp::Read};
    switch (pick(20)) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
        step.op = AppOp::Read;
        // Below, at and beyond one packet, and long reads of whole packets.
        step.a = pick(4) == 0 ? pick(4 * device.packetSize + 1) : 1 + pick(device.packetSize + 8);
        break;
    case 6:
    case 7: step.op = AppOp::Ask; break;
    case 8:
        step.op = AppOp::Write;
        step.a = 1 + pick(700);
        break;
    case 9:
        step.op = AppOp::SetState;
        step.a = pick(4);
        break;
    case 10:
        step.op = AppOp::SetTimeouts;
        step.a = pick(3);
        step.b = pick(60);
        break;
    case 11:
    case 12: step.op = AppOp::ClearError; break;
    case 13:
        step.op = AppOp::Purge;
        step.a = 1 + pick(15);
        break;
    case 14: step.op = AppOp::TransmitChar; break;
    case 15:
    case 16:
        step.op = AppOp::FuzzControl;
        step.a = FuzzedCode(random);
        step.b = pick(80) | (pick(600) << 16);
        step.seed = static_cast<uint32_t>(random());
        break;
    case 17:
    case 18: step.op = AppOp::CancelledControl; break;
    default: step.op = AppOp::Reopen; break;
    }
    return step;
}

const char* AppOpName(AppOp op)
{
    switch (op) {
    case AppOp::Read: return "read";
    case AppOp::Ask: return "ask";
    case AppOp::Write: return "write";
    case AppOp::SetState: return "set-state";
    case AppOp::SetTimeouts: return "set-timeouts";
    case AppOp::ClearError: return "clear-error";
    case AppOp::Purge: return "purge";
    case AppOp::TransmitChar: return "transmit-char";
    case AppOp::FuzzControl: return "fuzz-control";
    case AppOp::CancelledControl: return "cancelled-control";
    case AppOp::Reopen: return "reopen";
    case AppOp::Pause: return "pause";
    }
    return "?";
}

const char* ControlOpName(ControlOp op)
{
    switch (op) {
    case ControlOp::Rebalance: return "rebalance";
    case ControlOp::SleepWake: return "sleep-wake";
    case ControlOp::DisableEnable: return "disable-enable";
    case ControlOp::Unplug: return "unplug";
    case ControlOp::Advance: return "advance";
    case ControlOp::FailAllocation: return "fail-allocation";
    }
    return "?";
}

}  // namespace

std::size_t Program::StepCount() const
{
    std::size_t count = control.size();
    for (const auto& app : apps) count += app.size();
    for (const auto& steps : companions) count += steps.size();
    return count;
}

Program Generate(uint64_t seed, const Limits& limits)
{
    std::mt19937_64 random(seed);
    auto pick = [&](uint64_t n) { return random() % n; };
    Program program;
    program.seed = seed;
    int devices = 1 + static_cast<int>(pick(static_cast<uint64_t>(limits.maxDevices)));
    for (int d = 0; d < devices; ++d) {
        DeviceSpec device;
        device.kind = pick(2) == 0 ? TESMO_INSTRUMENT_COMMAND : TESMO_INSTRUMENT_STREAM;
        device.packetSize = pick(2) == 0 ? 64 : 512;
        // Now and then a layout the driver must refuse to start on.
        device.layout = pick(12) == 0 ? 1 + static_cast<int32_t>(pick(5)) : TESMO_LAYOUT_STANDARD;
        program.devices.push_back(device);
        std::vector<AppStep> app;
        int steps = 1 + static_cast<int>(pick(static_cast<uint64_t>(limits.maxAppSteps)));
        for (int s = 0; s < steps; ++s) app.push_back(RandomAppStep(random, device));
        program.apps.push_back(std::move(app));
    }
    int steps = static_cast<int>(pick(static_cast<uint64_t>(limits.maxControlSteps) + 1));
    for (int s = 0; s < steps; ++s) {
        ControlStep step{ControlOp::Advance};
        uint64_t which = pick(16);
        step.op = which < 5    ? ControlOp::Rebalance
                  : which < 10 ? ControlOp::SleepWake
                  : which < 12 ? ControlOp::DisableEnable
                  : which < 13 ? ControlOp::Unplug
                               : ControlOp::Advance;
        step.device = static_cast<int>(pick(static_cast<uint64_t>(devices)));
        step.amount = static_cast<int64_t>(pick(3'000'000));  // up to 0.3 s
        program.control.push_back(step);
    }
    // Now and then one of the driver's allocations fails. Drawn from a
    // stream of its own and left out by name, so that the rest of the
    // program is the one the seed gave before failures were injected.
    std::mt19937_64 faults(seed ^ 0x9E3779B97F4A7C15ULL);
    if (faults() % 3 == 0) {
        ControlStep step{ControlOp::FailAllocation};
        step.device = static_cast<int>(faults() % 3);
        step.amount = 1 + static_cast<int64_t>(faults() % 60);
        auto at = program.control.begin() + static_cast<long>(faults() % (program.control.size() + 1));
        program.control.insert(at, step);
    }
    // Now and then a second thread on a port's handle, from a stream of its
    // own for the same reason.
    std::mt19937_64 second(seed ^ 0xD1B54A32D192ED03ULL);
    for (int d = 0; d < devices; ++d) {
        std::vector<AppStep> steps;
        if (second() % 2 == 0) {
            static const AppOp kinds[] = {AppOp::ClearError, AppOp::SetState, AppOp::CancelledControl};
            for (int n = 1 + static_cast<int>(second() % 12); n > 0; --n) {
                AppStep step{kinds[second() % 3]};
                step.a = static_cast<uint32_t>(second() % 4);
                steps.push_back(step);
            }
        }
        program.companions.push_back(std::move(steps));
    }
    auto leftOut = [&](const char* name) {
        return std::find(limits.without.begin(), limits.without.end(), name) != limits.without.end();
    };
    // Now and then a looped-back port, frame timing, and pauses of the
    // application's own work, each from a stream of its own again.
    std::mt19937_64 timing(seed ^ 0x94D049BB133111EBULL);
    for (int d = 0; d < devices; ++d) {
        DeviceSpec& device = program.devices[static_cast<std::size_t>(d)];
        bool loopback = timing() % 4 == 0;
        bool frames = timing() % 3 == 0;
        if (loopback && !leftOut("loopback")) device.kind = TESMO_INSTRUMENT_LOOPBACK;
        if (frames && !leftOut("frame-timing")) device.frameTiming = true;
        auto& app = program.apps[static_cast<std::size_t>(d)];
        if (timing() % 3 != 0) continue;
        for (int n = 1 + static_cast<int>(timing() % 4); n > 0; --n) {
            AppStep pause{AppOp::Pause};
            pause.a = static_cast<uint32_t>(timing() % 3000);
            pause.b = static_cast<uint32_t>(timing() % 2);
            app.insert(app.begin() + static_cast<long>(timing() % (app.size() + 1)), pause);
        }
    }
    if (leftOut("companion")) {
        for (auto& steps : program.companions) steps.clear();
    }
    for (auto* lists : {&program.apps, &program.companions}) {
        for (auto& steps : *lists) {
            std::erase_if(steps, [&](const AppStep& step) { return leftOut(AppOpName(step.op)); });
        }
    }
    std::erase_if(program.control, [&](const ControlStep& step) { return leftOut(ControlOpName(step.op)); });
    return program;
}

std::string Describe(const Program& program)
{
    std::ostringstream out;
    out << "seed " << program.seed << "\n";
    for (std::size_t d = 0; d < program.devices.size(); ++d) {
        const DeviceSpec& device = program.devices[d];
        const char* kind = device.kind == TESMO_INSTRUMENT_STREAM     ? "stream"
                           : device.kind == TESMO_INSTRUMENT_LOOPBACK ? "loopback"
                                                                      : "command";
        out << "device " << d << ": " << kind << ", " << device.packetSize << "-byte packets"
            << (device.frameTiming ? ", frame timing" : "") << ", layout " << device.layout << "\n  app:";
        for (const AppStep& step : program.apps[d]) {
            out << " " << AppOpName(step.op);
            if (step.op == AppOp::Read || step.op == AppOp::Write) out << "(" << step.a << ")";
            if (step.op == AppOp::FuzzControl) out << "(0x" << std::hex << step.a << std::dec << ")";
            if (step.op == AppOp::Pause) out << "(" << step.a << " us" << (step.b ? ", detached" : "") << ")";
        }
        out << "\n";
        if (d < program.companions.size() && !program.companions[d].empty()) {
            out << "  companion:";
            for (const AppStep& step : program.companions[d]) out << " " << AppOpName(step.op);
            out << "\n";
        }
    }
    out << "control:";
    for (const ControlStep& step : program.control) {
        out << " " << ControlOpName(step.op);
        if (step.op == ControlOp::Advance) out << "(" << step.amount / sim::kTicksPerMillisecond << " ms)";
        else if (step.op == ControlOp::FailAllocation) {
            static const char* const sites[] = {"pool", "irp", "work-item"};
            out << "(" << sites[step.device % 3] << " #" << step.amount << ")";
        } else if (step.op != ControlOp::SleepWake) out << "(" << step.device << ")";
    }
    out << "\n";
    return out.str();
}

}  // namespace tesmo::explore
