#include "Session.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "DeviceExtension.h"
#include "DriverGuards.h"
#include "emu/Io.h"
#include "emu/Threads.h"
#include "usb/UsbCapture.h"

namespace tesmo::control {

namespace {

emu::SystemOptions SystemOptionsFrom(const SessionOptions& options)
{
    emu::SystemOptions system;
    system.autoAdvanceClock = options.clock == emu::ClockMode::SelfAdvancing;
    system.wallClock = options.clock == emu::ClockMode::WallClock;
    system.controlledSchedule = options.controlledSchedule;
    system.watchdog = options.watchdog;
    switch (options.verifierMode) {
    case TESMO_VERIFIER_RECORD:
        system.violationHandler = [](const emu::Violation& v) {
            std::fprintf(stderr, "%s\n", emu::Describe(v).c_str());
        };
        break;
    case TESMO_VERIFIER_RECORD_QUIET: system.violationHandler = [](const emu::Violation&) {}; break;
    default: break;  // none: the verifier prints and aborts
    }
    return system;
}

// Why a device's node cannot take a PnP sequence that needs it started
// (rebalance, disable) or disabled (enable); TESMO_OK when it can. The PnP
// manager refuses the same nodes; asking first tells its refusal apart from
// a driver's failure, which the caller gets as TESMO_E_REFUSED.
enum class Needs { Started, Disabled };

tesmo_result RefusalFor(const emu::NodeInfo& node, Needs needs)
{
    if (node.gone) return TESMO_E_NO_SUCH_DEVICE;
    if (node.surpriseRemoved) return TESMO_E_INVALID_STATE;
    bool fits = needs == Needs::Started ? node.started : node.removed;
    return fits ? TESMO_OK : TESMO_E_INVALID_STATE;
}

tesmo_result RunPnpSequence(emu::PnpManager& pnp, emu::NodeId node, Needs needs,
                            std::int32_t (emu::PnpManager::*sequence)(emu::NodeId), std::int32_t* ntstatus)
{
    if (tesmo_result refused = RefusalFor(pnp.Info(node), needs)) return refused;
    emu::ApiScope inside;
    return FromStatus((pnp.*sequence)(node), ntstatus);
}

std::vector<ViolationRecord> RecordsOf(const std::vector<emu::Violation>& violations)
{
    std::vector<ViolationRecord> records;
    for (const emu::Violation& v : violations) {
        records.push_back({std::string(emu::RuleName(v.rule)), emu::Describe(v)});
    }
    return records;
}

// A COM name as the C API gives it: ASCII, anything else as '?'.
std::string Narrowed(const std::u16string& wide)
{
    std::string narrow;
    for (char16_t c : wide) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

}  // namespace

tesmo_result FromStatus(std::int32_t status, std::int32_t* ntstatus)
{
    if (ntstatus) *ntstatus = status;
    return NT_SUCCESS(status) ? TESMO_OK : TESMO_E_REFUSED;
}

Session::Session(const SessionOptions& options) : system_(std::make_unique<emu::System>(SystemOptionsFrom(options))) {}

std::unique_ptr<Session> Session::Boot(const SessionOptions& options, emu::TraceSink traceSink, tesmo_result* result)
{
    // An instrumented image's race detector judges the record by its guards.
    DescribeDriverGuards();
    std::unique_ptr<Session> session(new Session(options));
    if (traceSink) session->system_->SetTraceSink(std::move(traceSink));
    session->bus_ = std::make_unique<emu::usb::Bus>(*session->system_);
    session->driver_ = session->system_->LoadDriverImage(options.driverImage, u"Tesmo");
    if (!session->driver_) {
        session->Shutdown();
        *result = TESMO_E_DRIVER_LOAD;
        return nullptr;
    }
    *result = TESMO_OK;
    return session;
}

Session::~Session() { Shutdown(); }

std::vector<ViolationRecord> Session::Violations() const { return RecordsOf(system_->verifier().Violations()); }

// Handle values are multiples of four from 0x100 up and never reused within
// a system (HandleTable.h), so the ones still open are found by trying each.
// Closing them is what the platform does when a process exits.
void Session::CloseLeftoverHandles()
{
    std::size_t open = emu::io::OpenHandleCount();
    if (open == 0) return;
    std::size_t closed = 0;
    for (emu::io::Handle handle = 0x100; emu::io::OpenHandleCount() > 0 && handle < (emu::io::Handle{1} << 32);
         handle += 4) {
        if (emu::io::Close(handle) == STATUS_SUCCESS) ++closed;
    }
    system_->verifier().ReportApplicationMistake(
        emu::Rule::HandleLeak, std::to_string(open) + " handle(s) of the application still open at shutdown; " +
                                   std::to_string(closed) + " closed as at process exit");
}

void Session::RemoveDevice(Device& device)
{
    emu::PnpManager& pnp = system_->pnp();
    emu::NodeInfo info = pnp.Info(device.node);
    if (info.surpriseRemoved) {
        pnp.WaitRemoved(device.node);
        return;
    }
    if (info.removed) return;
    if (NT_SUCCESS(pnp.Disable(device.node))) return;
    // A removal the driver refused: the device is pulled out instead.
    device.usb->Unplug();
    pnp.Unplug(device.node);
    pnp.WaitRemoved(device.node);
}

std::vector<ViolationRecord> Session::Shutdown()
{
    if (shutDown_) return {};
    shutDown_ = true;
    // Win32 calls still in progress on other threads return first; later
    // ones are refused.
    system_->CloseToApplications();
    CloseLeftoverHandles();
    for (auto& [id, device] : devices_) RemoveDevice(device);
    if (bus_) bus_->ReapRemovedDevices();
    bus_.reset();  // unplugs the instruments, deletes the PDOs, unloads the bus driver
    devices_.clear();
    departed_.clear();
    if (driver_) system_->UnloadDriver(driver_);
    driver_ = nullptr;
    system_->Shutdown();  // reports pool, IRPs, keys and links left behind
    std::vector<ViolationRecord> records = Violations();
    system_.reset();
    return records;
}

Session::Device* Session::Find(std::int32_t id)
{
    auto it = devices_.find(id);
    return it == devices_.end() ? nullptr : &it->second;
}

Session::DevicePin::DevicePin(Session& session, std::int32_t id) : session_(session)
{
    std::lock_guard lock(session_.mutex_);
    departed_ = session_.Departed(id);
    Device* device = session_.Find(id);
    if (!device || device->plugging) return;
    ++device->pins;
    device_ = device;
}

Session::DevicePin::~DevicePin()
{
    if (!device_) return;
    std::lock_guard lock(session_.mutex_);
    --device_->pins;
}

void Session::CollectDeparted()
{
    emu::PnpManager& pnp = system_->pnp();
    std::lock_guard lock(mutex_);
    bus_->ReapRemovedDevices();
    for (auto it = devices_.begin(); it != devices_.end();) {
        Device& device = it->second;
        if (device.plugging || device.pins != 0) {
            ++it;
            continue;
        }
        emu::NodeInfo info = pnp.Info(device.node);
        // A PDO that a driver left attached stays on the bus; the shutdown
        // reports that driver.
        if (!info.gone || !bus_->Release(*device.usb)) {
            ++it;
            continue;
        }
        departed_.emplace(it->first, Narrowed(info.portName));
        pnp.Forget(device.node);
        it = devices_.erase(it);  // the instrument, disconnected since the unplug
    }
}

tesmo_result Session::Plug(InstrumentBuild build, std::int32_t* id, std::int32_t* ntstatus)
{
    // Devices that left meanwhile give their ports back first. An unplugged
    // device whose last handle is closed has its removal queued already: it
    // is let finish, so that the port (and COM name) the new device gets
    // does not depend on how far the PnP thread has come.
    bool removalsToCome = false;
    {
        std::lock_guard lock(mutex_);
        removalsToCome = std::any_of(devices_.begin(), devices_.end(), [&](const auto& entry) {
            const Device& device = entry.second;
            return !device.plugging && !device.usb->plugged() && !system_->pnp().Info(device.node).gone;
        });
    }
    if (removalsToCome) {
        emu::ApiScope inside;
        system_->RunBetweenPnpSequences([] {});
    }
    CollectDeparted();
    std::int32_t newId = 0;
    emu::usb::UsbDevice* usb = nullptr;
    {
        std::lock_guard lock(mutex_);
        newId = nextId_++;
        Device& device = devices_[newId];
        device.instrument = std::move(build.instrument);
        device.usb = &bus_->Plug(*device.instrument, std::move(build.config));
        usb = device.usb;
    }
    if (id) *id = newId;
    emu::NodeId node = 0;
    std::int32_t status = 0;
    {
        emu::ApiScope inside;
        status = system_->pnp().Plug(usb->pdo(), driver_, &node);
    }
    {
        std::lock_guard lock(mutex_);
        Device& device = devices_[newId];
        device.node = node;
        device.plugging = false;
    }
    return FromStatus(status, ntstatus);
}

tesmo_result Session::Unplug(std::int32_t id)
{
    DevicePin device(*this, id);
    if (device.departed()) return TESMO_E_INVALID_STATE;
    if (!device) return TESMO_E_NO_SUCH_DEVICE;
    if (!device->usb->plugged()) return TESMO_E_INVALID_STATE;
    emu::ApiScope inside;
    device->usb->Unplug();
    system_->pnp().Unplug(device->node);
    return TESMO_OK;
}

// An application may wait for a removal that its own open handle holds
// back: that ends in TESMO_E_TIMEOUT, not in a violation.
tesmo_result Session::WaitRemoved(std::int32_t id)
{
    {
        DevicePin device(*this, id);
        if (device.departed()) return TESMO_OK;
        if (!device) return TESMO_E_NO_SUCH_DEVICE;
        emu::PnpManager& pnp = system_->pnp();
        if (!pnp.Info(device->node).surpriseRemoved) return TESMO_E_INVALID_STATE;
        if (!emu::WaitUntilOrWatchdog([&] { return pnp.Info(device->node).gone; })) return TESMO_E_TIMEOUT;
    }
    CollectDeparted();
    return TESMO_OK;
}

tesmo_result Session::Rebalance(std::int32_t id, std::int32_t* ntstatus)
{
    DevicePin device(*this, id);
    if (!device) return TESMO_E_NO_SUCH_DEVICE;
    return RunPnpSequence(system_->pnp(), device->node, Needs::Started, &emu::PnpManager::Rebalance, ntstatus);
}

tesmo_result Session::Disable(std::int32_t id, std::int32_t* ntstatus)
{
    DevicePin device(*this, id);
    if (!device) return TESMO_E_NO_SUCH_DEVICE;
    return RunPnpSequence(system_->pnp(), device->node, Needs::Started, &emu::PnpManager::Disable, ntstatus);
}

tesmo_result Session::Enable(std::int32_t id, std::int32_t* ntstatus)
{
    DevicePin device(*this, id);
    if (!device) return TESMO_E_NO_SUCH_DEVICE;
    return RunPnpSequence(system_->pnp(), device->node, Needs::Disabled, &emu::PnpManager::Enable, ntstatus);
}

tesmo_result Session::State(std::int32_t id, std::uint32_t* state)
{
    DevicePin device(*this, id);
    if (device.departed()) {
        *state = TESMO_DEVICE_UNPLUGGED | TESMO_DEVICE_REMOVED;
        return TESMO_OK;
    }
    if (!device) return TESMO_E_NO_SUCH_DEVICE;
    emu::NodeInfo info = system_->pnp().Info(device->node);
    *state = (info.started ? TESMO_DEVICE_STARTED : 0u) | (info.surpriseRemoved ? TESMO_DEVICE_UNPLUGGED : 0u) |
             (info.removed ? TESMO_DEVICE_REMOVED : 0u);
    return TESMO_OK;
}

tesmo_result Session::PortName(std::int32_t id, std::string* name)
{
    {
        std::lock_guard lock(mutex_);
        if (auto it = departed_.find(id); it != departed_.end()) {
            if (it->second.empty()) return TESMO_E_INVALID_STATE;
            *name = it->second;
            return TESMO_OK;
        }
    }
    DevicePin device(*this, id);
    if (!device) return TESMO_E_NO_SUCH_DEVICE;
    std::u16string wide = system_->pnp().Info(device->node).portName;
    if (wide.empty()) return TESMO_E_INVALID_STATE;
    *name = Narrowed(wide);
    return TESMO_OK;
}

// Read on the PnP thread, so that no REMOVE can free the storage meanwhile;
// the driver's other threads may be writing entries as it is copied.
tesmo_result Session::CopyEventLog(std::int32_t id, EventLogCopy* copy)
{
    DevicePin device(*this, id);
    if (device.departed()) return TESMO_E_DEVICE_GONE;
    if (!device) return TESMO_E_NO_SUCH_DEVICE;
    tesmo_result result = TESMO_E_DEVICE_GONE;
    system_->RunBetweenPnpSequences([&] {
        PDEVICE_OBJECT fdo = system_->pnp().Info(device->node).fdo;
        if (!fdo) return;
        auto* extension = static_cast<const DEVICE_EXTENSION*>(fdo->DeviceExtension);
        const void* entries = __atomic_load_n(&extension->LogEntries, __ATOMIC_ACQUIRE);
        if (!entries) return;
        copy->logIndex = __atomic_load_n(&extension->LogIndex, __ATOMIC_ACQUIRE);
        copy->bytes.resize(extension->LogSize);
        std::memcpy(copy->bytes.data(), entries, copy->bytes.size());
        result = TESMO_OK;
    });
    return result;
}

tesmo_result Session::Capture(const char* path)
{
    std::unique_ptr<emu::usb::UsbCapture> capture;
    if (path) {
        capture = emu::usb::UsbCapture::Open(path);
        if (!capture) return TESMO_E_INVALID_ARGUMENT;
    }
    std::lock_guard lock(mutex_);
    bus_->SetCapture(std::move(capture));
    return TESMO_OK;
}

std::uint32_t* Session::DriverGlobal(const char* name)
{
    // A platform image keeps its globals to itself.
    void* image = system_->DriverImage(driver_);
    return image ? static_cast<std::uint32_t*>(dlsym(image, name)) : nullptr;
}

}  // namespace tesmo::control
