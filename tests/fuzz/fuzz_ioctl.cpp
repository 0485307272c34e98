// The serial I/O controls on a started port: the port is brought into a
// state the input picks, then takes a sequence of I/O controls whose codes,
// lengths and bytes come from the input. Requests the state holds are
// served or failed when the state ends, and every one must complete.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>

#include "DeviceExtension.h"
#include "FuzzPort.h"
#include "SerialCodes.h"

namespace tesmo::fuzz {
namespace {

enum class PortState {
    Idle,
    BytesWaiting,          // a packet parked in the reassembly buffer
    Asleep,                // the system sleeps: requests are held
    StopPending,           // a stop being negotiated holds requests
    RemovePending,         // a removal being negotiated holds requests
    SurpriseRemovedOpen,   // pulled out while a handle keeps the port
    Reenabled,             // disabled and enabled again: a second start
    kMaxValue = Reenabled  // for FuzzedDataProvider::ConsumeEnum
};

constexpr std::size_t kMaxRequests = 24;
constexpr const char* kStateNames[] = {"idle",           "bytes waiting",         "asleep",   "stop pending",
                                       "remove pending", "surprise-removed open", "reenabled"};
static_assert(std::size(kStateNames) == static_cast<std::size_t>(PortState::kMaxValue) + 1);

void Enter(FuzzPort& port, PortState state, FuzzedDataProvider& input)
{
    switch (state) {
    case PortState::Idle: break;
    case PortState::BytesWaiting: {
        auto packet = input.ConsumeBytes<UCHAR>(input.ConsumeIntegralInRange<std::size_t>(1, 64));
        if (packet.empty()) packet.push_back('x');
        port.instrument().Packet(packet);
        // A read of nothing fetches one packet and delivers none of it.
        port.Read(0);
        port.Settle();
        break;
    }
    case PortState::Asleep:
        port.stack().pnp().SystemSleep(input.ConsumeIntegralInRange<int>(PowerSystemSleeping1, PowerSystemHibernate));
        break;
    case PortState::StopPending: port.stack().pnp().Send(port.stack().node(), IRP_MN_QUERY_STOP_DEVICE); break;
    case PortState::RemovePending: port.stack().pnp().Send(port.stack().node(), IRP_MN_QUERY_REMOVE_DEVICE); break;
    case PortState::SurpriseRemovedOpen:
        if (!port.OpenHandle()) Finding("the started port did not open");
        port.stack().Unplug();
        break;
    case PortState::Reenabled:
        port.stack().pnp().Disable(port.stack().node());
        port.stack().pnp().Enable(port.stack().node());
        break;
    }
}

// The first bytes a completed request returned, for the verbose trace.
std::string Returned(const test::PortRequest* request)
{
    if (!request || !request->completed()) return "";
    std::string text = ", returned";
    char hex[4];
    for (UCHAR byte : request->Output(std::min<std::size_t>(request->information(), 8))) {
        std::snprintf(hex, sizeof hex, " %02X", byte);
        text += hex;
    }
    return text;
}

bool Holds(PortState state)
{
    return state == PortState::Asleep || state == PortState::StopPending || state == PortState::RemovePending;
}

// Ends what holds requests, so that they are served or failed.
void Leave(FuzzPort& port, PortState state)
{
    switch (state) {
    case PortState::Asleep: port.stack().pnp().SystemWake(); break;
    case PortState::StopPending: port.stack().pnp().Send(port.stack().node(), IRP_MN_CANCEL_STOP_DEVICE); break;
    case PortState::RemovePending: port.stack().pnp().Send(port.stack().node(), IRP_MN_CANCEL_REMOVE_DEVICE); break;
    default: break;
    }
}

}  // namespace
}  // namespace tesmo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tesmo::fuzz;
    FuzzedDataProvider input(data, size);
    FuzzSystem system;
    FuzzPort port(system);
    if (port.Plug() != STATUS_SUCCESS) Finding("the standard instrument did not start");
    auto state = input.ConsumeEnum<PortState>();
    Say("state: %s", kStateNames[static_cast<int>(state)]);
    Enter(port, state, input);
    for (std::size_t sent = 0; sent < kMaxRequests && input.remaining_bytes() != 0; ++sent) {
        ControlRequest request = ConsumeControl(input);
        // Now and then through a handle, where the port serves it at once;
        // buffered there, as the emulation does not model direct I/O's MDLs.
        if (!Holds(state) && input.ConsumeIntegralInRange(0, 3) == 0) {
            request.code &= ~3u;
            bool done = port.DeviceControl(request.code, request.input, request.outputLength);
            Say("control 0x%lX through the handle, %zu bytes in, %lu out: %s", static_cast<unsigned long>(request.code),
                request.input.size(), static_cast<unsigned long>(request.outputLength), done ? "done" : "failed");
            continue;
        }
        auto* control = port.Control(request.code, request.input, request.outputLength);
        Say("control 0x%lX, %zu bytes in, %lu out: 0x%lX%s", static_cast<unsigned long>(request.code),
            request.input.size(), static_cast<unsigned long>(request.outputLength),
            control ? static_cast<unsigned long>(control->returned()) : 0ul, Returned(control).c_str());
    }
    Leave(port, state);
    port.Settle();
    return 0;
}
