// The Plug and Play manager: device nodes, the sequences of PnP requests the
// system sends them, the port installer's COM names, and system power across
// the tree. Every sequence runs on the PnP thread, one at a time.
#include "PnpManager.h"

#include "Kernel.h"
#include "emu/Devices.h"
#include "emu/Io.h"
#include "emu/Registry.h"

namespace emu::detail {

namespace {

constexpr int kFirstComNumber = 3;  // COM1 and COM2 belong to the machine's own ports

PnpManagerState& State() { return K().pnpState; }

// Runs `job` on the PnP thread and waits for it, counted as blocked (so that
// an auto-advancing clock can move while the PnP thread waits on a deadline).
void RunOnPnpThread(const std::function<void()>& job)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    State().Post([&] {
        job();
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace

PnpManagerState::Node& PnpManagerState::At(NodeId id)
{
    auto it = nodes.find(id);
    if (it == nodes.end()) BugCheck("the PnP manager was asked about a device node it does not have");
    return it->second;
}

// Sends one PnP IRP to the top of the stack and waits for its completion.
NTSTATUS SendPnpIrp(PDEVICE_OBJECT anyDevice, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& prepare)
{
    PDEVICE_OBJECT top = TopOfStack(anyDevice);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    NTSTATUS result = STATUS_PENDING;
    PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::IoManager);
    IrpPrivate* p = PrivateOf(irp, "PnP manager");
    p->onFinished = [&](PIRP finished) {
        result = finished->IoStatus.Status;
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    };
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = minor;
    // A PnP request nobody handles keeps this status on its way to the bus.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    if (prepare) prepare(sp);
    IofCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return result;
}

namespace {

NTSTATUS QueryCapabilities(PDEVICE_OBJECT device)
{
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    return SendPnpIrp(device, IRP_MN_QUERY_CAPABILITIES,
                      [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &capabilities; });
}

// The stack's devices must not be detached or deleted while it handles
// SURPRISE_REMOVAL: that waits for REMOVE.
void MarkSurpriseRemovalInProgress(PDEVICE_OBJECT anyDevice, bool inProgress)
{
    std::lock_guard lock(K().io.mutex);
    for (PDEVICE_OBJECT device = anyDevice; device; device = device->AttachedDevice) {
        PrivateOf(device)->surpriseRemovalInProgress = inProgress;
    }
}

// The port installer gives each instance the lowest free COM number and the
// same one again when it comes back.
std::u16string AssignPortName(const std::u16string& instancePath)
{
    auto& state = State();
    std::lock_guard lock(state.mutex);
    auto known = state.comNumbers.find(instancePath);
    int number;
    if (known != state.comNumbers.end()) {
        number = known->second;
    } else {
        number = kFirstComNumber;
        for (bool taken = true; taken;) {
            taken = false;
            for (auto& [path, n] : state.comNumbers) {
                if (n == number) {
                    taken = true;
                    ++number;
                    break;
                }
            }
        }
        state.comNumbers[instancePath] = number;
    }
    std::u16string name = u"COM";
    for (char c : std::to_string(number)) name.push_back(static_cast<char16_t>(c));
    return name;
}

// AddDevice, the port installer, START and the queries that follow a start.
NTSTATUS InstallAndStart(PnpManagerState::Node& node)
{
    PDRIVER_OBJECT driver = node.driver;
    NTSTATUS status;
    {
        IrqlScope passive(PASSIVE_LEVEL);
        status = driver->DriverExtension->AddDevice(driver, node.pdo);
    }
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT top = TopOfStack(node.pdo);
    if (top == node.pdo) return STATUS_UNSUCCESSFUL;  // AddDevice attached nothing
    if (top->Flags & DO_DEVICE_INITIALIZING) {
        Violation(Rule::NotModelled, nullptr, "AddDevice returned with DO_DEVICE_INITIALIZING still set");
    }
    K().races.RecordPublished(top->DeviceExtension);
    {
        std::lock_guard lock(State().mutex);
        node.fdo = top;
        node.removed = false;
    }
    io::SetRemovalPending(node.pdo, false);

    std::u16string port = AssignPortName(DeviceInstancePath(node.pdo));
    SetDeviceRegistryValue(node.pdo, u"PortName", RegistryValue::String(port));
    {
        std::lock_guard lock(State().mutex);
        node.portName = port;
    }

    status = SendPnpIrp(top, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.StartDevice.AllocatedResources = nullptr;
        sp->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    });
    if (!NT_SUCCESS(status)) {
        // A device that fails to start is torn down again.
        io::SetRemovalPending(node.pdo, true);
        SendPnpIrp(top, IRP_MN_REMOVE_DEVICE, {});
        std::lock_guard lock(State().mutex);
        node.fdo = nullptr;
        node.removed = true;
        return status;
    }
    {
        std::lock_guard lock(State().mutex);
        node.started = true;
    }
    QueryCapabilities(top);
    SendPnpIrp(top, IRP_MN_QUERY_PNP_DEVICE_STATE, {});
    return status;
}

NTSTATUS Remove(PnpManagerState::Node& node)
{
    io::SetRemovalPending(node.pdo, true);
    NTSTATUS status = SendPnpIrp(node.pdo, IRP_MN_REMOVE_DEVICE, {});
    std::lock_guard lock(State().mutex);
    node.fdo = nullptr;
    node.started = false;
    node.removed = true;
    return status;
}

// A node whose unplug REMOVE has finished has left the tree: its PDO may be
// deleted already, so nothing may be sent to it any more.
bool Gone(const PnpManagerState::Node& node) { return node.surpriseRemoved && node.removeFinished; }

// What a sequence that needs a started node answers for one that is not.
NTSTATUS UnlessStarted(const PnpManagerState::Node& node)
{
    if (Gone(node)) return STATUS_NO_SUCH_DEVICE;
    return node.started && !node.surpriseRemoved ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
}

// The nodes the power manager sends system power requests to: each with a
// function driver on it, the started ones and the surprise-removed ones whose
// REMOVE is still held back by open handles.
std::vector<PDEVICE_OBJECT> NodesInPowerTree(PnpManagerState& state)
{
    std::lock_guard lock(state.mutex);
    std::vector<PDEVICE_OBJECT> pdos;
    for (auto& [id, node] : state.nodes) {
        if (node.started || (node.surpriseRemoved && !node.removed)) pdos.push_back(node.pdo);
    }
    return pdos;
}

void SendDeferredRemove(NodeId id)
{
    State().Post([id] {
        auto& node = State().At(id);
        Remove(node);
        std::function<void()> gone;
        {
            std::lock_guard lock(State().mutex);
            gone = std::move(node.gone);
            node.removeFinished = true;
        }
        if (gone) gone();
        NotifyStateChanged();
    });
}

// What the timeline says of a node after a sequence.
std::string NodeStateText(const PnpManagerState::Node& node)
{
    if (Gone(node)) return "gone";
    if (node.surpriseRemoved) return "surprise-removed";
    if (node.removed) return "removed";
    return node.started ? "started" : "stopped";
}

// A PnP or power sequence on the PnP thread: on the timeline, a slice of
// that thread named for it, then the node's state as an instant event.
void RunSequence(const std::string& what, NodeId id, const std::function<void()>& job)
{
    RunOnPnpThread([&] {
        EventTimeline* timeline = ActiveTimeline();
        double begin = timeline ? timeline->Now() : 0;
        job();
        if (!timeline) return;
        std::string node = id ? "node " + std::to_string(id) : "every node";
        timeline->Slice(what + " (" + node + ")", "pnp", begin, timeline->Now(), "");
        if (id == 0) return;
        std::string state;
        {
            std::lock_guard lock(State().mutex);
            state = NodeStateText(State().At(id));
        }
        timeline->Instant(node + ": " + state, "pnp", 'p', "");
    });
}

}  // namespace

}  // namespace emu::detail

namespace emu {

using namespace detail;

std::int32_t PnpManager::Plug(_DEVICE_OBJECT* pdo, _DRIVER_OBJECT* functionDriver, NodeId* nodeId)
{
    NodeId id;
    {
        std::lock_guard lock(state_.mutex);
        id = state_.nextId++;
        auto& node = state_.nodes[id];
        node.pdo = pdo;
        node.driver = functionDriver;
        node.removed = true;
    }
    if (nodeId) *nodeId = id;
    NTSTATUS status = STATUS_SUCCESS;
    RunSequence("PnP plug-in", id, [&] { status = InstallAndStart(state_.At(id)); });
    return status;
}

std::int32_t PnpManager::Rebalance(NodeId id)
{
    NTSTATUS status = STATUS_SUCCESS;
    RunSequence("PnP rebalance", id, [&] {
        auto& node = state_.At(id);
        status = UnlessStarted(node);
        if (!NT_SUCCESS(status)) return;
        status = SendPnpIrp(node.pdo, IRP_MN_QUERY_STOP_DEVICE, {});
        if (!NT_SUCCESS(status)) {
            SendPnpIrp(node.pdo, IRP_MN_CANCEL_STOP_DEVICE, {});
            return;
        }
        SendPnpIrp(node.pdo, IRP_MN_STOP_DEVICE, {});
        status = SendPnpIrp(node.pdo, IRP_MN_START_DEVICE, {});
        // A device that fails to start again is torn down, as one that fails
        // its first start: requests held across the stop must not wait for
        // a start that will not come.
        if (!NT_SUCCESS(status)) Remove(node);
    });
    return status;
}

std::int32_t PnpManager::CancelledStop(NodeId id)
{
    NTSTATUS status = STATUS_SUCCESS;
    RunSequence("PnP cancelled stop", id, [&] {
        auto& node = state_.At(id);
        status = UnlessStarted(node);
        if (!NT_SUCCESS(status)) return;
        SendPnpIrp(node.pdo, IRP_MN_QUERY_STOP_DEVICE, {});
        status = SendPnpIrp(node.pdo, IRP_MN_CANCEL_STOP_DEVICE, {});
    });
    return status;
}

std::int32_t PnpManager::CancelledRemove(NodeId id)
{
    NTSTATUS status = STATUS_SUCCESS;
    RunSequence("PnP cancelled removal", id, [&] {
        auto& node = state_.At(id);
        status = UnlessStarted(node);
        if (!NT_SUCCESS(status)) return;
        SendPnpIrp(node.pdo, IRP_MN_QUERY_REMOVE_DEVICE, {});
        status = SendPnpIrp(node.pdo, IRP_MN_CANCEL_REMOVE_DEVICE, {});
    });
    return status;
}

std::int32_t PnpManager::Disable(NodeId id)
{
    NTSTATUS status = STATUS_SUCCESS;
    RunSequence("PnP disable", id, [&] {
        auto& node = state_.At(id);
        if (Gone(node)) {
            status = STATUS_NO_SUCH_DEVICE;
            return;
        }
        // A surprise-removed node is on its way out already: its REMOVE
        // comes when the last handle closes.
        if (node.removed || node.surpriseRemoved) {
            status = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        // Open handles veto the removal before any driver is asked.
        if (io::OpenFileCount(node.pdo) > 0) {
            status = STATUS_DEVICE_BUSY;
            return;
        }
        status = SendPnpIrp(node.pdo, IRP_MN_QUERY_REMOVE_DEVICE, {});
        if (!NT_SUCCESS(status)) {
            SendPnpIrp(node.pdo, IRP_MN_CANCEL_REMOVE_DEVICE, {});
            return;
        }
        status = Remove(node);
    });
    return status;
}

std::int32_t PnpManager::Enable(NodeId id)
{
    NTSTATUS status = STATUS_SUCCESS;
    RunSequence("PnP enable", id, [&] {
        auto& node = state_.At(id);
        if (Gone(node)) {
            status = STATUS_NO_SUCH_DEVICE;
            return;
        }
        if (!node.removed || node.surpriseRemoved) {
            status = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        status = InstallAndStart(node);
    });
    return status;
}

std::int32_t PnpManager::Unplug(NodeId id, std::function<void()> gone)
{
    NTSTATUS status = STATUS_SUCCESS;
    RunSequence("PnP unplug", id, [&] {
        auto& node = state_.At(id);
        if (node.surpriseRemoved) {
            status = STATUS_NO_SUCH_DEVICE;  // pulled out already
            return;
        }
        {
            std::lock_guard lock(state_.mutex);
            node.surpriseRemoved = true;
            node.gone = std::move(gone);
        }
        io::SetRemovalPending(node.pdo, true);
        if (!node.removed) {
            MarkSurpriseRemovalInProgress(node.pdo, true);
            status = SendPnpIrp(node.pdo, IRP_MN_SURPRISE_REMOVAL, {});
            MarkSurpriseRemovalInProgress(node.pdo, false);
            {
                std::lock_guard lock(state_.mutex);
                node.started = false;
            }
            io::WhenNoOpenFiles(node.pdo, [id] { SendDeferredRemove(id); });
        } else {
            // No driver on it: the bus's PDO alone is removed.
            SendDeferredRemove(id);
        }
    });
    return status;
}

bool PnpManager::WaitRemoved(NodeId id)
{
    return WaitUntil(
        [&] {
            std::lock_guard lock(state_.mutex);
            return state_.At(id).removeFinished;
        },
        "the device's REMOVE after an unplug");
}

std::int32_t PnpManager::Send(NodeId id, std::uint8_t minor, const std::function<void(_IO_STACK_LOCATION*)>& prepare)
{
    NTSTATUS status = STATUS_SUCCESS;
    RunOnPnpThread([&] {
        auto& node = state_.At(id);
        status = Gone(node) ? STATUS_NO_SUCH_DEVICE : SendPnpIrp(node.pdo, minor, prepare);
    });
    return status;
}

std::int32_t PnpManager::SystemSleep(int systemState)
{
    NTSTATUS status = STATUS_SUCCESS;
    RunSequence("power: system sleep S" + std::to_string(systemState - 1), 0, [&] {
        // No REMOVE can come in between: it would run on this thread.
        std::vector<PDEVICE_OBJECT> powered = NodesInPowerTree(state_);
        for (PDEVICE_OBJECT pdo : powered) {
            status = K().power.SendSystemPowerIrp(pdo, IRP_MN_QUERY_POWER, systemState);
            if (!NT_SUCCESS(status)) return;
        }
        for (PDEVICE_OBJECT pdo : powered) {
            status = K().power.SendSystemPowerIrp(pdo, IRP_MN_SET_POWER, systemState);
        }
        // The transition ends when the device requests it caused have finished.
        K().power.WaitIdle();
    });
    return status;
}

std::int32_t PnpManager::SystemWake()
{
    NTSTATUS status = STATUS_SUCCESS;
    RunSequence("power: system wake S0", 0, [&] {
        for (PDEVICE_OBJECT pdo : NodesInPowerTree(state_)) {
            NTSTATUS one = K().power.SendSystemPowerIrp(pdo, IRP_MN_SET_POWER, PowerSystemWorking);
            if (!NT_SUCCESS(one)) status = one;
        }
        K().power.WaitIdle();
    });
    return status;
}

NodeInfo PnpManager::Info(NodeId id) const
{
    std::lock_guard lock(state_.mutex);
    const auto& node = state_.At(id);
    return NodeInfo{node.pdo, node.fdo, node.portName, node.started, node.surpriseRemoved, node.removed, Gone(node)};
}

std::vector<NodeId> PnpManager::Nodes() const
{
    std::lock_guard lock(state_.mutex);
    std::vector<NodeId> ids;
    for (auto& [id, node] : state_.nodes) ids.push_back(id);
    return ids;
}

bool PnpManager::Forget(NodeId id)
{
    std::lock_guard lock(state_.mutex);
    if (!Gone(state_.At(id))) return false;
    state_.nodes.erase(id);
    return true;
}

void PnpManager::RemoveAll()
{
    for (NodeId id : Nodes()) {
        RunOnPnpThread([&] {
            auto& node = state_.At(id);
            if (node.removed || node.surpriseRemoved) return;
            SendPnpIrp(node.pdo, IRP_MN_QUERY_REMOVE_DEVICE, {});
            Remove(node);
        });
    }
}

}  // namespace emu
