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
// System power runs through every node with a function driver on it (query
// Sx, set Sx, set S0): the started ones, and the surprise-removed ones that
// open handles still keep in the tree until their REMOVE.
//
// As the platform does, a sequence goes only to a node in a state that takes
// it: rebalance (QUERY_STOP), the cancelled stop and the cancelled removal
// only to a started node; disable not to a node already removed or being
// removed after an unplug; enable only to a disabled node. Any other node
// gets STATUS_INVALID_DEVICE_STATE without a request being sent, and a node
// that has left the tree (unplugged and its REMOVE finished, so its PDO may
// be deleted) STATUS_NO_SUCH_DEVICE, for every sequence and for Send.
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
    bool gone = false;  // unplugged and its REMOVE finished: the node has left the tree
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
    // deletes its PDO there). STATUS_NO_SUCH_DEVICE for a node unplugged
    // already.
    std::int32_t Unplug(NodeId node, std::function<void()> gone = {});
    // Waits until the node's REMOVE has been sent and finished.
    bool WaitRemoved(NodeId node);
    // Sends one PnP request to the top of the node's stack; `prepare` fills the
    // stack location. Returns the final status.
    std::int32_t Send(NodeId node, std::uint8_t minor, const std::function<void(_IO_STACK_LOCATION*)>& prepare = {});
    // Sleeps (query and set Sx) or wakes (set S0) every node in the power
    // tree (see above).
    std::int32_t SystemSleep(int systemState);
    std::int32_t SystemWake();

    NodeInfo Info(NodeId node) const;
    std::vector<NodeId> Nodes() const;
    // The host is done with a node that has left the tree: its record goes,
    // and its id may not be used again (the PnP manager would stop the
    // system). False, changing nothing, for a node still in the tree. The
    // port installer keeps the COM name of its instance.
    bool Forget(NodeId node);
    // Removes every node still present (the system shutting down).
    void RemoveAll();

private:
    detail::PnpManagerState& state_;
};

}  // namespace emu
