// The emulated Plug and Play manager. It runs every request of the device tree
// on its own thread, one at a time, and drives each device node through the
// sequences the system runs:
//   plug-in    AddDevice, the port installer's step (PortName = COM3, COM4, …
//              written into the device's hardware key, the same name again for
//              the same instance), START, then QUERY_CAPABILITIES and
//              QUERY_PNP_DEVICE_STATE to the whole stack;
//   rebalance  QUERY_STOP, then STOP and START (CANCEL_STOP if refused);
//   cancelled  QUERY_STOP then CANCEL_STOP, QUERY_REMOVE then CANCEL_REMOVE;
//   disable    QUERY_REMOVE, then REMOVE (CANCEL_REMOVE if refused);
//   enable     AddDevice and START again on the same PDO;
//   unplug     SURPRISE_REMOVAL at once, REMOVE once the last handle is closed.
// System power runs through every started node (query S3, set S3, set S0).
//
// Calls block the caller until the PnP thread has run the sequence (except
// the deferred REMOVE of an unplug). Thread-safe; PASSIVE_LEVEL.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _IO_STACK_LOCATION;

namespace emu {

namespace detail {
class PnpManagerState;
}

using NodeId = int;

struct NodeInfo {
    _DEVICE_OBJECT* pdo = nullptr;
    _DEVICE_OBJECT* fdo = nullptr;  // the function driver's device, null once removed
    std::u16string portName;
    bool started = false;
    bool surpriseRemoved = false;
    bool removed = false;
};

class PnpManager {
public:
    explicit PnpManager(detail::PnpManagerState& state) : state_(state) {}

    // Loads `functionDriver` on the PDO and starts it. Returns the status of
    // AddDevice if it failed, else the status of START.
    std::int32_t Plug(_DEVICE_OBJECT* pdo, _DRIVER_OBJECT* functionDriver, NodeId* node);
    std::int32_t Rebalance(NodeId node);
    std::int32_t CancelledStop(NodeId node);
    std::int32_t CancelledRemove(NodeId node);
    std::int32_t Disable(NodeId node);
    std::int32_t Enable(NodeId node);
    // The bus reports the device gone: SURPRISE_REMOVAL now; REMOVE later,
    // when no file is open on the stack. `gone` runs after REMOVE (the bus
    // deletes its PDO there).
    std::int32_t Unplug(NodeId node, std::function<void()> gone = {});
    // Waits until the node's REMOVE has been sent and finished.
    bool WaitRemoved(NodeId node);
    // Sends one PnP request to the top of the node's stack; `prepare` fills the
    // stack location. Returns the final status.
    std::int32_t Send(NodeId node, std::uint8_t minor, const std::function<void(_IO_STACK_LOCATION*)>& prepare = {});
    // Sleeps (query and set Sx) or wakes (set S0) every started node.
    std::int32_t SystemSleep(int systemState);
    std::int32_t SystemWake();

    NodeInfo Info(NodeId node) const;
    std::vector<NodeId> Nodes() const;
    // Removes every node still present (the system shutting down).
    void RemoveAll();

private:
    detail::PnpManagerState& state_;
};

}  // namespace emu
