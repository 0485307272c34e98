// The rungs of the driver's fixtures above the loaded driver, for one
// instrument of type Instrument on the emulated USB bus:
//   BusDeviceOf      the instrument plugged into the bus: its PDO is there,
//                    nothing of the driver on it yet (the test adds or plugs);
//   AddedDeviceOf    the driver's AddDevice run by hand, as the PnP manager
//                    runs it before START: the FDO and its record exist;
//   StartedPortOf    the device added and started by the PnP manager's
//                    plug-in: COM3, reachable through the PnP manager's
//                    sequences.
// Each rung tears down what it built when the fixture goes: after the test's
// own members and mixins (handles, requests), before the driver unloads. A
// fixture picks the descriptors and the bus's behaviour by overriding Config().
#pragma once

#include <optional>

#include "DeviceStack.h"
#include "DriverTest.h"
#include "instrument/CommandInstrument.h"
#include "instrument/ScriptedDevice.h"

namespace tesmo::test {

template <class Instrument>
class BusDeviceOf : public DriverTest {
protected:
    void SetUp() override { Replace(Config()); }
    virtual emu::usb::DeviceConfig Config() const { return {}; }
    // Tears the stack down and plugs the instrument into the bus again with
    // `config`, for a test that changes the descriptors or the bus.
    void Replace(emu::usb::DeviceConfig config)
    {
        stack_.reset();
        stack_.emplace(sys(), driver(), instrument_, std::move(config));
    }

    DeviceStack& stack() { return *stack_; }
    Instrument& instrument() { return instrument_; }
    emu::usb::UsbDevice& usb() { return stack_->usb(); }
    PDEVICE_OBJECT fdo() { return stack_->fdo(); }
    PDEVICE_EXTENSION ext() { return stack_->extension(); }
    // The power states as the driver's other threads read them: the power
    // path may still be storing one while the test looks.
    SYSTEM_POWER_STATE systemPowerState()
    {
        return static_cast<SYSTEM_POWER_STATE>(
            ReadSharedULong(reinterpret_cast<ULONG volatile*>(&ext()->SystemPowerState)));
    }
    DEVICE_POWER_STATE devicePowerState()
    {
        return static_cast<DEVICE_POWER_STATE>(
            ReadSharedULong(reinterpret_cast<ULONG volatile*>(&ext()->DevicePowerState)));
    }
    emu::PnpManager& pnp() { return stack_->pnp(); }
    emu::NodeId node() { return stack_->node(); }

private:
    Instrument instrument_;
    std::optional<DeviceStack> stack_;
};

template <class Instrument>
class AddedDeviceOf : public BusDeviceOf<Instrument> {
protected:
    void SetUp() override
    {
        BusDeviceOf<Instrument>::SetUp();
        ASSERT_EQ(Add(), STATUS_SUCCESS);
    }
    // How the device is added: by hand here; the started port's rung has the
    // PnP manager add it, and start it.
    virtual NTSTATUS Add() { return this->stack().AddDevice(); }
    // A device power request through the power manager, waited for. A device
    // nobody started opens its queue to USB requests at its D0.
    NTSTATUS RequestPower(UCHAR minor, DEVICE_POWER_STATE state) { return this->stack().RequestPower(minor, state); }
};

template <class Instrument>
class StartedPortOf : public AddedDeviceOf<Instrument> {
protected:
    NTSTATUS Add() override { return this->stack().Plug(); }
    // A new port, plugged in with `config`.
    void Replug(emu::usb::DeviceConfig config)
    {
        this->Replace(std::move(config));
        ASSERT_EQ(Add(), STATUS_SUCCESS);
    }
    // A stop being negotiated holds requests in the queue; its cancellation
    // opens the queue again and serves them.
    NTSTATUS HoldQueue() { return this->pnp().Send(this->node(), IRP_MN_QUERY_STOP_DEVICE); }
    NTSTATUS ReleaseQueue() { return this->pnp().Send(this->node(), IRP_MN_CANCEL_STOP_DEVICE); }
};

using BusDeviceTest = BusDeviceOf<emu::usb::CommandInstrument>;
using AddedDeviceTest = AddedDeviceOf<emu::usb::CommandInstrument>;
using StartedPortTest = StartedPortOf<emu::usb::CommandInstrument>;

}  // namespace tesmo::test
