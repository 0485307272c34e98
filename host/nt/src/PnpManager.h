// The PnP manager's private state. Private to the emulation.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "emu/Pnp.h"
#include "ManagerThread.h"
#include "emu_ntddk.h"

namespace emu::detail {

class PnpManagerState {
public:
    struct Node {
        PDEVICE_OBJECT pdo = nullptr;
        PDRIVER_OBJECT driver = nullptr;
        PDEVICE_OBJECT fdo = nullptr;
        std::u16string portName;
        bool started = false;
        bool surpriseRemoved = false;
        bool removed = false;
        bool removeFinished = false;
        std::function<void()> gone;  // run after the REMOVE of an unplugged device
    };

    // Runs a job on the PnP thread (created on first use).
    void Post(std::function<void()> job) { thread_.Post(std::move(job)); }
    void Shutdown() { thread_.Shutdown(); }
    Node& At(NodeId id);
    const Node& At(NodeId id) const { return const_cast<PnpManagerState*>(this)->At(id); }

    mutable std::mutex mutex;
    std::map<NodeId, Node> nodes;
    NodeId nextId = 1;
    std::map<std::u16string, int> comNumbers;  // the port installer's database

private:
    ManagerThread thread_{"pnp"};
};

// Sends one PnP IRP to the top of a device's stack and waits for it.
NTSTATUS SendPnpIrp(PDEVICE_OBJECT anyDevice, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& prepare);

}  // namespace emu::detail
