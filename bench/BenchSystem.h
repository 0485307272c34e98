// What the benchmarks run against: an emulated system with the USB bus and
// the driver image loaded, an instrument started as COM3 behind the driver
// (opened through the Win32 API), and optionally a second instrument with no
// driver above it, configured by URBs sent straight to its PDO.
//
// One thread (the benchmark's) builds, uses and destroys it; PASSIVE_LEVEL.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "emu/System.h"
#include "usb/Instrument.h"
#include "tesmo/windows.h"
#include "usb/Bus.h"

namespace tesmo::bench {

class BenchSystem {
public:
    BenchSystem();
    ~BenchSystem();  // closes the port, removes the device, shuts the system down
    BenchSystem(const BenchSystem&) = delete;
    BenchSystem& operator=(const BenchSystem&) = delete;

    // Plugs `instrument` in, lets the driver start it and opens COM3.
    HANDLE StartPort(emu::usb::Instrument& instrument, emu::usb::DeviceConfig config);
    emu::usb::Bus& bus() { return *bus_; }
    emu::System& system() { return *system_; }

private:
    std::unique_ptr<emu::System> system_;
    std::unique_ptr<emu::usb::Bus> bus_;
    _DRIVER_OBJECT* driver_ = nullptr;
    emu::NodeId node_ = 0;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

// A device on the bus with no driver above it: its configuration selected
// and its bulk pipes found by URBs sent to the PDO, the way a driver does.
class RawUsbDevice {
public:
    RawUsbDevice(emu::usb::Bus& bus, emu::usb::Instrument& instrument, emu::usb::DeviceConfig config);
    // Sends one bulk transfer and waits for it; returns the bytes moved.
    std::uint32_t BulkOut(const void* data, std::uint32_t length);
    std::uint32_t BulkIn(void* buffer, std::uint32_t length);

private:
    std::uint32_t Bulk(void* pipe, std::uint32_t flags, void* buffer, std::uint32_t length);

    _DEVICE_OBJECT* pdo_ = nullptr;
    void* inPipe_ = nullptr;
    void* outPipe_ = nullptr;
};

}  // namespace tesmo::bench
