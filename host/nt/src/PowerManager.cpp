// The power manager: PoRequestPowerIrp, PoCallDriver, PoStartNextPowerIrp,
// PoSetPowerState, and system power IRPs sent on behalf of the system.
#include "PowerManager.h"

#include <sstream>

#include "Kernel.h"
#include "emu/Devices.h"
#include "emu/ExportEntry.h"

namespace emu::detail {

namespace {

PowerManagerState& TheState() { return K().powerState; }

void Record(PowerEvent event)
{
    std::lock_guard lock(TheState().mutex);
    TheState().history.push_back(event);
}

// Delivers a power IRP to a device from the power thread, at PASSIVE_LEVEL,
// as PoCallDriver does.
void DeliverOnPowerThread(PDEVICE_OBJECT target, PIRP irp)
{
    TheState().Post([target, irp] {
        Self().inPoCallDriver = true;
        IofCallDriver(target, irp);
    });
}

// Builds a power IRP of the power manager for the top of `device`'s stack;
// `finished` runs when the I/O manager completes it.
PIRP BuildPowerIrp(PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                   std::function<void(PIRP)> finished)
{
    PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::IoManager);
    IrpPrivate* p = PrivateOf(irp, "PoRequestPowerIrp");
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = minor;
    sp->Parameters.Power.Type = type;
    sp->Parameters.Power.State = state;
    sp->Parameters.Power.ShutdownType = PowerActionNone;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    p->onFinished = [finished = std::move(finished)](PIRP done) {
        IrpPrivate* record = PrivateOf(done, "power completion");
        if (record && !record->startNextCalled) {
            Violation(Rule::PowerIrpMissingStartNext, done, "a power IRP completed without PoStartNextPowerIrp");
        }
        finished(done);
    };
    return irp;
}

}  // namespace

void PowerManagerState::ForgetDevice(PDEVICE_OBJECT device)
{
    std::lock_guard lock(mutex);
    announced.erase(device);
    std::erase_if(history, [&](const PowerEvent& event) { return event.device == device; });
}

}  // namespace emu::detail

namespace emu {

using namespace detail;

void PowerManager::RefuseRequests(int count, std::int32_t status)
{
    std::lock_guard lock(state_.mutex);
    state_.refuseCount = count;
    state_.refuseStatus = status;
}

void PowerManager::SetWatchdog(Time bound)
{
    std::lock_guard lock(state_.mutex);
    state_.watchdog = bound;
}

std::int32_t PowerManager::SendSystemPowerIrp(_DEVICE_OBJECT* device, std::uint8_t minor, int systemState)
{
    PDEVICE_OBJECT top = TopOfStack(device);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    NTSTATUS result = STATUS_PENDING;
    POWER_STATE state;
    state.SystemState = static_cast<SYSTEM_POWER_STATE>(systemState);
    PIRP irp = BuildPowerIrp(top, minor, SystemPowerState, state, [&](PIRP finished) {
        result = finished->IoStatus.Status;
        Record(PowerEvent{PowerEvent::Kind::SystemIrpCompleted, device, minor, systemState, result});
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    IoGetNextIrpStackLocation(irp)->Parameters.Power.ShutdownType =
        systemState == PowerSystemShutdown    ? PowerActionShutdown
        : systemState == PowerSystemHibernate ? PowerActionHibernate
        : systemState == PowerSystemWorking   ? PowerActionNone
                                              : PowerActionSleep;
    Record(PowerEvent{PowerEvent::Kind::SystemIrpSent, device, minor, systemState, 0});
    DeliverOnPowerThread(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return result;
}

void PowerManager::WaitIdle()
{
    auto idle = [&] {
        std::lock_guard lock(state_.mutex);
        return state_.inFlight == 0;
    };
    // An IRP is finished once it is completed, but the dispatch routine that
    // sent it on may still be running its last lines on the power thread (a
    // trace, giving back its remove-lock hold): idle means that thread is
    // done too. Its last job may have requested another IRP, so look again.
    do {
        WaitUntil(idle, "the power manager's IRPs to finish");
        state_.Drain();
    } while (!idle());
}

std::vector<PowerEvent> PowerManager::History() const
{
    std::lock_guard lock(state_.mutex);
    return state_.history;
}

int PowerManager::AnnouncedDeviceState(_DEVICE_OBJECT* device) const
{
    std::lock_guard lock(state_.mutex);
    auto it = state_.announced.find(device);
    return it == state_.announced.end() ? 0 : it->second;
}

std::size_t PowerManager::IrpsInFlight() const
{
    std::lock_guard lock(state_.mutex);
    return state_.inFlight;
}

}  // namespace emu

using namespace emu::detail;

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    EMU_ENTRY(PoCallDriver, Irp);
    // A power-pageable stack gets its power IRPs at PASSIVE_LEVEL: from a
    // completion routine the power manager passes them on from its thread.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL && (DeviceObject->Flags & DO_POWER_PAGABLE)) {
        DeliverOnPowerThread(DeviceObject, Irp);
        return STATUS_PENDING;
    }
    Self().inPoCallDriver = true;
    return IofCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp)
{
    EMU_ENTRY(PoStartNextPowerIrp, Irp);
    IrpPrivate* p = PrivateOf(Irp, "PoStartNextPowerIrp");
    if (!p) return;
    std::lock_guard lock(K().io.mutex);
    p->startNextCalled = true;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    EMU_ENTRY(PoSetPowerState);
    POWER_STATE previous{};
    int value = Type == DevicePowerState ? static_cast<int>(State.DeviceState) : static_cast<int>(State.SystemState);
    {
        std::lock_guard lock(TheState().mutex);
        if (Type == DevicePowerState) {
            previous.DeviceState = static_cast<DEVICE_POWER_STATE>(TheState().announced[DeviceObject]);
            TheState().announced[DeviceObject] = value;
        }
    }
    Record(emu::PowerEvent{emu::PowerEvent::Kind::SetPowerState, DeviceObject, 0, value, 0});
    return previous;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp)
{
    EMU_ENTRY(PoRequestPowerIrp);
    if (Irp) *Irp = nullptr;
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    NTSTATUS refusal = STATUS_SUCCESS;
    emu::Time watchdog;
    {
        std::lock_guard lock(TheState().mutex);
        if (TheState().refuseCount > 0) {
            --TheState().refuseCount;
            refusal = TheState().refuseStatus;
        }
        watchdog = TheState().watchdog;
    }
    int stateValue = static_cast<int>(PowerState.DeviceState);
    if (refusal != STATUS_SUCCESS) {
        Record(
            emu::PowerEvent{emu::PowerEvent::Kind::DeviceIrpRefused, DeviceObject, MinorFunction, stateValue, refusal});
        return refusal;
    }

    PDEVICE_OBJECT top = emu::TopOfStack(DeviceObject);
    auto timer = std::make_shared<emu::Clock::TimerId>(0);
    auto finishedFlag = std::make_shared<bool>(false);
    PIRP irp = BuildPowerIrp(top, MinorFunction, DevicePowerState, PowerState,
                             [DeviceObject, MinorFunction, PowerState, CompletionFunction, Context, timer, finishedFlag,
                              stateValue](PIRP done) {
                                 K().clock.Cancel(*timer);
                                 IO_STATUS_BLOCK status = done->IoStatus;
                                 Record(emu::PowerEvent{emu::PowerEvent::Kind::DeviceIrpCompleted, DeviceObject,
                                                        MinorFunction, stateValue, status.Status});
                                 if (CompletionFunction)
                                     CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
                                 std::lock_guard lock(TheState().mutex);
                                 *finishedFlag = true;
                                 --TheState().inFlight;
                             });
    {
        std::lock_guard lock(TheState().mutex);
        ++TheState().inFlight;
    }
    Record(emu::PowerEvent{emu::PowerEvent::Kind::DeviceIrpRequested, DeviceObject, MinorFunction, stateValue, 0});
    if (MinorFunction != IRP_MN_WAIT_WAKE) {
        *timer = K().clock.After(watchdog, [irp, finishedFlag, stateValue] {
            bool finished;
            {
                std::lock_guard lock(TheState().mutex);
                finished = *finishedFlag;
            }
            if (!finished) {
                std::ostringstream message;
                message << "a device power IRP for D" << stateValue - 1
                        << " was not finished within the power watchdog (the system would stop with a power-state "
                           "failure)";
                Violation(emu::Rule::PowerIrpWatchdog, irp, message.str());
            }
        });
    }
    if (Irp) *Irp = irp;
    DeliverOnPowerThread(top, irp);
    return STATUS_PENDING;
}

}  // extern "C"
