// Power requests to a USB PDO: set and query power complete on the device's
// bus thread at DISPATCH_LEVEL (a hub finishes them asynchronously), with
// PoStartNextPowerIrp first; wait-wake stays pending until the device signals
// a wake-up or the request is cancelled.
#include <string>

#include "DeviceInternals.h"
#include "emu/System.h"
#include "usb/UsbDevice.h"

namespace emu::usb {

namespace {

UsbDevice* DeviceOf(PDEVICE_OBJECT pdo) { return static_cast<detail::PdoExtension*>(pdo->DeviceExtension)->device; }

}  // namespace

void UsbDevice::FailPower(UCHAR minor, POWER_STATE_TYPE type, NTSTATUS status)
{
    std::lock_guard lock(mutex_);
    powerFailures_.emplace_back(minor, type, status);
}

std::vector<PowerRecord> UsbDevice::PowerLog() const
{
    std::lock_guard lock(mutex_);
    return powerLog_;
}

bool UsbDevice::WaitWakePending() const
{
    std::lock_guard lock(mutex_);
    return waitWake_ != nullptr;
}

DEVICE_POWER_STATE UsbDevice::CurrentDeviceState() const
{
    std::lock_guard lock(mutex_);
    return devicePowerState_;
}

VOID UsbDevice::WaitWakeCancelled(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    UsbDevice* self = DeviceOf(device);
    {
        std::lock_guard lock(self->mutex_);
        if (self->waitWake_ == irp) self->waitWake_ = nullptr;
        self->powerLog_.push_back(
            PowerRecord{IRP_MN_WAIT_WAKE, SystemPowerState, 0, STATUS_CANCELLED, KeGetCurrentIrql()});
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    emu::NotifyStateChanged();
}

// Finishes the pending wait-wake request with `status`, unless its cancel
// routine already has it.
static void FinishWaitWake(PIRP irp, NTSTATUS status)
{
    if (!irp || !IoSetCancelRoutine(irp, nullptr)) return;
    PoStartNextPowerIrp(irp);
    detail::CompleteAtDispatch(irp, status);
    emu::NotifyStateChanged();
}

void UsbDevice::SignalWake()
{
    PIRP irp;
    {
        std::lock_guard lock(mutex_);
        irp = waitWake_;
        waitWake_ = nullptr;
        if (irp)
            powerLog_.push_back(PowerRecord{IRP_MN_WAIT_WAKE, SystemPowerState, 0, STATUS_SUCCESS, DISPATCH_LEVEL});
    }
    FinishWaitWake(irp, STATUS_SUCCESS);
}

void UsbDevice::CancelWaitWake()
{
    PIRP irp;
    {
        std::lock_guard lock(mutex_);
        irp = waitWake_;
        waitWake_ = nullptr;
    }
    FinishWaitWake(irp, STATUS_CANCELLED);
}

NTSTATUS UsbDevice::DispatchPower(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    UCHAR minor = sp->MinorFunction;

    if (minor == IRP_MN_WAIT_WAKE) {
        IoMarkIrpPending(irp);
        bool busy = false;
        {
            std::lock_guard lock(mutex_);
            if (waitWake_ || gone_) {
                busy = true;
            } else {
                waitWake_ = irp;
                IoSetCancelRoutine(irp, WaitWakeCancelled);
            }
        }
        if (busy) {
            // One wait-wake request per device; none for a device that is gone.
            PoStartNextPowerIrp(irp);
            detail::CompleteAtDispatch(irp, STATUS_DEVICE_BUSY);
            return STATUS_PENDING;
        }
        // Cancelled before the cancel routine was set: finish it here.
        if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST)) CancelWaitWake();
        emu::NotifyStateChanged();
        return STATUS_PENDING;
    }

    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) {
        // Not a bus's business: back with its status untouched.
        PoStartNextPowerIrp(irp);
        NTSTATUS status = irp->IoStatus.Status;
        if (status != STATUS_NOT_SUPPORTED) {
            emu::System::Current().verifier().Report(
                emu::Rule::UnhandledIrpStatusChanged, irp,
                "power request (minor " + std::to_string(minor) +
                    ") reached the bus with its status changed although nobody handles it");
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    IoMarkIrpPending(irp);
    thread_->Post([this, irp, minor] {
        HoldIfArmed(HoldPoint::PowerReceived, minor, irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        POWER_STATE_TYPE type = stack->Parameters.Power.Type;
        POWER_STATE state = stack->Parameters.Power.State;
        NTSTATUS status = STATUS_SUCCESS;
        int value =
            type == DevicePowerState ? static_cast<int>(state.DeviceState) : static_cast<int>(state.SystemState);
        {
            std::lock_guard lock(mutex_);
            for (auto& [failMinor, failType, failStatus] : powerFailures_) {
                if (failMinor == minor && failType == type) status = failStatus;
            }
            if (NT_SUCCESS(status) && minor == IRP_MN_SET_POWER && type == DevicePowerState) {
                devicePowerState_ = state.DeviceState;
            }
            powerLog_.push_back(PowerRecord{minor, type, value, status, config_.powerCompletionIrql});
        }
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Information = 0;
        if (config_.powerCompletionIrql == PASSIVE_LEVEL) {
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        } else {
            detail::CompleteAtDispatch(irp, status);
        }
        emu::NotifyStateChanged();
    });
    return STATUS_PENDING;
}

}  // namespace emu::usb
