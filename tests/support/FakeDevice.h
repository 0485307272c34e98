// A named device of a driver written in the test, for tests of the I/O
// manager's user-request path and the Win32 layer: it records every request
// that reaches it (major code, control code, lengths, the bytes it carried in,
// the file objects), answers with what the test says (success and no bytes
// unless told otherwise), and can hold requests pending with a cancel routine
// so that the test decides when and how they complete.
//
// Construction, destruction and the test-side calls run on the test's thread
// at PASSIVE_LEVEL; the dispatch routines may run on any thread.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "TestDriver.h"

namespace tesmo::test {

struct RecordedRequest {
    UCHAR major = 0;
    ULONG controlCode = 0;                      // device control only
    ULONG inputLength = 0;                      // write length, or control input length
    ULONG outputLength = 0;                     // read length, or control output length
    std::vector<UCHAR> input;                   // the bytes the request carried in
    PFILE_OBJECT fileObject = nullptr;          // from the stack location
    PFILE_OBJECT originalFileObject = nullptr;  // Tail.Overlay.OriginalFileObject
    KPROCESSOR_MODE requestorMode = KernelMode;
};

struct FakeDeviceOptions {
    std::u16string name = u"\\Device\\Fake0";
    std::u16string link;  // e.g. u"\\DosDevices\\COM3"; none when empty
    bool exclusive = true;
    ULONG flags = DO_BUFFERED_IO;  // the device object's buffering flags
};

class FakeDevice {
public:
    using Answer = std::function<NTSTATUS(PIRP irp, PIO_STACK_LOCATION sp)>;

    FakeDevice(emu::System& system, FakeDeviceOptions options = {});
    ~FakeDevice();  // deletes the link (if still there) and the device
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    PDEVICE_OBJECT device() const { return device_; }
    TestDriver& driver() { return driver_; }

    // The answer for one major code; it must complete the IRP (CompleteIrp)
    // and return the status, or return Hold(irp).
    void On(UCHAR major, Answer answer);
    // Every request of this major is held pending until the test completes it.
    void HoldAll(UCHAR major);

    std::vector<RecordedRequest> Requests() const;
    std::vector<UCHAR> Majors() const;
    void ClearRequests();

    // ---- held requests ----
    // Marks the IRP pending, sets the cancel routine and keeps it; a cancel
    // completes it with STATUS_CANCELLED. Returns STATUS_PENDING.
    NTSTATUS Hold(PIRP irp);
    // Waits until `count` requests are held; returns the oldest.
    PIRP WaitHeld(std::size_t count = 1);
    std::size_t HeldCount() const;
    // The request held last, or null.
    PIRP Newest() const;
    // The driver's side of the cancel race: takes the cancel routine back.
    // False when a cancel got there first (then the cancel routine completes
    // the IRP and the driver must not).
    bool Claim(PIRP irp);
    // Completes a held IRP, claiming it first unless already claimed; false
    // (and nothing done) when a cancel owns it.
    bool CompleteHeld(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
    // Writes bytes into a held read's buffer (system buffer or user buffer).
    static void Fill(PIRP irp, const std::vector<UCHAR>& bytes);

    void DeleteLink();
    // Deletes the device object now (IoDeleteDevice) as a driver does at removal.
    void DeleteDevice();

private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static void NTAPI CancelHeld(PDEVICE_OBJECT device, PIRP irp);
    void Record(PIRP irp);

    emu::System& system_;
    TestDriver driver_;
    FakeDeviceOptions options_;
    PDEVICE_OBJECT device_ = nullptr;
    bool linked_ = false;
    mutable std::mutex mutex_;
    std::vector<RecordedRequest> requests_;
    std::map<UCHAR, Answer> answers_;
    std::deque<PIRP> held_;
    std::set<PIRP> claimed_;
};

}  // namespace tesmo::test
