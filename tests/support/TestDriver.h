// A driver written inside a test: each major function runs a lambda the test
// supplies, so that a test can build a device stack around the driver under
// test, play a lower driver that completes at once or later, or misbehave on
// purpose to prove that the verifier catches a rule.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "emu/System.h"
#include "emu_ntddk.h"

namespace tesmo::test {

class TestDriver {
public:
    using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

    TestDriver(emu::System& system, const std::u16string& name);
    ~TestDriver();
    TestDriver(const TestDriver&) = delete;
    TestDriver& operator=(const TestDriver&) = delete;

    PDRIVER_OBJECT object() const { return object_; }
    // A device of this driver, optionally attached on top of `below`.
    PDEVICE_OBJECT CreateDevice(PDEVICE_OBJECT below = nullptr, ULONG extensionSize = 0);
    void On(UCHAR major, Dispatch dispatch);
    // Every major not given its own behaviour.
    void OnAny(Dispatch dispatch);
    // Detaches and deletes the driver's devices (also done by the destructor).
    void DeleteDevices();

private:
    static NTSTATUS NTAPI Trampoline(PDEVICE_OBJECT device, PIRP irp);

    emu::System& system_;
    PDRIVER_OBJECT object_ = nullptr;
    Dispatch handlers_[IRP_MJ_MAXIMUM_FUNCTION + 1];
    Dispatch fallback_;
    std::vector<std::pair<PDEVICE_OBJECT, PDEVICE_OBJECT>> devices_;  // device, the one below it
};

// Completes an IRP with a status and no information.
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// Passes an IRP on to `lower` untouched, as a filter does with what it does
// not handle (a power request through the power manager's rules).
NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp);

// Sends a fresh IRP down a stack and stops its completion at the top so that
// the test can look at what came back.
class TopLevelIrp {
public:
    TopLevelIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor = 0);
    ~TopLevelIrp();
    TopLevelIrp(const TopLevelIrp&) = delete;
    TopLevelIrp& operator=(const TopLevelIrp&) = delete;

    PIRP irp() const { return irp_; }
    PIO_STACK_LOCATION stack() const { return IoGetNextIrpStackLocation(irp_); }
    NTSTATUS Send();
    // Waits until the top-level completion routine has run.
    void WaitCompleted();
    bool completed() const;
    NTSTATUS finalStatus() const { return finalStatus_; }
    bool pendingReturned() const { return pendingReturned_; }
    PDEVICE_OBJECT routineDevice() const { return routineDevice_; }

private:
    static NTSTATUS NTAPI Completed(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    PDEVICE_OBJECT target_;
    PIRP irp_;
    KEVENT done_;
    NTSTATUS finalStatus_ = STATUS_PENDING;
    bool pendingReturned_ = false;
    PDEVICE_OBJECT routineDevice_ = reinterpret_cast<PDEVICE_OBJECT>(1);
};

}  // namespace tesmo::test
