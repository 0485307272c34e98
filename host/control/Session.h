// One session of the control API: the emulated system booted with the bus
// and the driver image loaded, the instruments plugged into it, and the
// verifier's findings, from tesmo_boot to tesmo_shutdown.
//
// Threads: calls may come from several threads at once (ControlApi.cpp keeps
// the session alive under them; Shutdown comes alone, after the others have
// returned). The device records are guarded by one lock that no call holds
// while it waits on the system: a call pins the device it works on, and a
// pinned device is not collected under it. What a call asks of the emulated
// system (PnP sequences, the bus) runs on the system's own threads.
// PASSIVE_LEVEL, never on an emulated system thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "InstrumentSpec.h"
#include "emu/System.h"
#include "tesmo/control.h"
#include "usb/Bus.h"

namespace tesmo::control {

struct SessionOptions {
    emu::ClockMode clock = emu::ClockMode::SelfAdvancing;
    int verifierMode = TESMO_VERIFIER_ABORT;
    std::chrono::milliseconds watchdog{std::chrono::seconds(60)};
    std::string driverImage;
    std::optional<emu::ControlledScheduleOptions> controlledSchedule;
};

struct ViolationRecord {
    std::string rule;
    std::string text;
};

struct EventLogCopy {
    std::vector<std::uint8_t> bytes;  // the storage as the driver keeps it
    std::int32_t logIndex = 0;
};

class Session {
public:
    // Boots the system, attaches `traceSink` (if any, so that the driver's
    // load is traced too), plugs in the bus and loads the driver image; null
    // with *result set when the image does not load.
    static std::unique_ptr<Session> Boot(const SessionOptions& options, emu::TraceSink traceSink, tesmo_result* result);
    ~Session();  // shuts down if Shutdown was not called
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Tears everything down in order (see tesmo_shutdown) and returns every
    // violation of the session.
    std::vector<ViolationRecord> Shutdown();

    emu::System& system() { return *system_; }
    std::vector<ViolationRecord> Violations() const;

    // ---- devices; ids count from 1 ----
    tesmo_result Plug(InstrumentBuild build, std::int32_t* id, std::int32_t* ntstatus);
    tesmo_result Unplug(std::int32_t id);
    tesmo_result WaitRemoved(std::int32_t id);
    // Runs a PnP manager sequence on the device's node and maps its status;
    // a node in no state for it is refused before the PnP manager is asked
    // (TESMO_E_INVALID_STATE; TESMO_E_NO_SUCH_DEVICE once it left the tree).
    tesmo_result Rebalance(std::int32_t id, std::int32_t* ntstatus);
    tesmo_result Disable(std::int32_t id, std::int32_t* ntstatus);
    tesmo_result Enable(std::int32_t id, std::int32_t* ntstatus);
    tesmo_result State(std::int32_t id, std::uint32_t* state);
    tesmo_result PortName(std::int32_t id, std::string* name);
    tesmo_result CopyEventLog(std::int32_t id, EventLogCopy* copy);

    // Starts (a path) or stops (null) the bus's USB capture.
    tesmo_result Capture(const char* path);

    // The driver image's DebugLevel or DebugMask.
    std::uint32_t* DriverGlobal(const char* name);

private:
    // A device on the bus: plugged, or unplugged with its removal to come.
    struct Device {
        std::unique_ptr<emu::usb::Instrument> instrument;  // outlives its time on the bus
        emu::usb::UsbDevice* usb = nullptr;
        emu::NodeId node = 0;
        bool plugging = true;  // until the PnP manager has a node for it
        int pins = 0;          // calls working on it, which keep it from being collected
    };

    // A call's hold on one device: its record (usb, node) stays valid until
    // the pin goes. Empty for an unknown id, a departed one (see departed())
    // or one still being plugged in.
    class DevicePin {
    public:
        DevicePin(Session& session, std::int32_t id);
        ~DevicePin();
        DevicePin(const DevicePin&) = delete;
        DevicePin& operator=(const DevicePin&) = delete;
        explicit operator bool() const { return device_ != nullptr; }
        Device* operator->() const { return device_; }
        bool departed() const { return departed_; }

    private:
        Session& session_;
        Device* device_ = nullptr;
        bool departed_ = false;
    };

    explicit Session(const SessionOptions& options);
    Device* Find(std::int32_t id);  // under mutex_
    bool Departed(std::int32_t id) const { return departed_.count(id) != 0; }
    // Lets go of every device whose removal after an unplug has finished:
    // the bus releases it, the PnP manager forgets its node, its instrument
    // goes; what is left is its entry in departed_.
    void CollectDeparted();
    void CloseLeftoverHandles();
    void RemoveDevice(Device& device);

    std::unique_ptr<emu::System> system_;
    // Guards devices_, departed_, nextId_ and the bus's bookkeeping calls.
    mutable std::mutex mutex_;
    // Instruments are destroyed after the bus has unplugged them.
    std::map<std::int32_t, Device> devices_;
    // The devices that have left (unplugged and removed), by id: all such an
    // id still answers for is that it left and the COM name it had (empty
    // when it never got one). One small record per device of the session;
    // the names the port installer gives fit a string without an allocation
    // of its own.
    std::map<std::int32_t, std::string> departed_;
    std::unique_ptr<emu::usb::Bus> bus_;
    _DRIVER_OBJECT* driver_ = nullptr;
    std::int32_t nextId_ = 1;
    bool shutDown_ = false;
};

// TESMO_OK for a success status, else TESMO_E_REFUSED with *ntstatus set.
tesmo_result FromStatus(std::int32_t status, std::int32_t* ntstatus);

}  // namespace tesmo::control
