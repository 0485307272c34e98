// One simulated USB device on the emulated bus: the physical device object
// (PDO) its bus driver created, the instrument behind it, and the handles a
// test uses to steer and inspect what the bus does for it.
//
// Threads and IRQL:
//  - The bus driver's dispatch routines run in the caller's thread (URBs up to
//    DISPATCH_LEVEL, PnP at PASSIVE_LEVEL). URBs and port requests are queued
//    to the device's own bus thread, which carries them out and completes
//    them at DISPATCH_LEVEL, as a host controller's DPC would.
//  - The test API (Unplug, Set*, Fail*, Arm, inspection) may be called from
//    any thread at PASSIVE_LEVEL; Unplug must come from the thread that
//    plugs and unplugs (the instrument's Connect/Disconnect contract).
//  - One mutex guards the device's state. It is never held while an IRP is
//    completed or while the instrument is called, so completion routines may
//    submit new URBs and instruments may push packets from inside any call.
//    A second one serialises calls into the instrument with its Disconnect,
//    so nothing reaches an instrument once it is disconnected.
//
// What the bus does with transfers:
//  - The instrument is wired to the first bulk IN and the first bulk OUT
//    endpoint of the configuration. IN transfers on other pipes wait until
//    they are cancelled or aborted; OUT bytes to other pipes are accepted and
//    counted (UnroutedOutBytes).
//  - IN packets fill transfers in order. A transfer ends at its requested
//    length or at a short packet (zero-length included): a success with
//    USBD_SHORT_TRANSFER_OK, USBD_STATUS_DATA_UNDERRUN without it. A packet
//    larger than the room left is USBD_STATUS_DATA_OVERRUN, one larger than
//    the packet size USBD_STATUS_BABBLE_DETECTED, an InPacket::Failure its
//    own status; all complete with STATUS_UNSUCCESSFUL.
//  - Any transfer error halts the pipe: the transfers waiting on it and every
//    new one fail with USBD_STATUS_ENDPOINT_HALTED until the pipe is reset
//    (SYNC_RESET_PIPE_AND_CLEAR_STALL) or the port is reset.
//  - TransferBufferLength reports the bytes moved on every completion,
//    failures and cancellations included.
//  - While the port is not enabled, transfers fail with
//    USBD_STATUS_DEV_NOT_RESPONDING / STATUS_UNSUCCESSFUL.
//  - Unplugged: STATUS_DEVICE_NOT_CONNECTED with USBD_STATUS_DEVICE_GONE for
//    every URB, and STATUS_DEVICE_NOT_CONNECTED for the port requests.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>
#include <vector>

#include "emu/Clock.h"
#include "emu/Threads.h"
#include "emu_ntddk.h"
#include "usb/Instrument.h"
#include "usb/DeviceConfig.h"
#include "usb/Hold.h"

namespace emu::usb {

namespace detail {
struct ConfigurationModel;
struct Pipe;
struct Transfer;
class Completions;
struct BusDispatch;
struct Liveness;
class FrameSchedule;
struct CaptureSlot;
}  // namespace detail

// A PnP request as it reached the PDO, and how the bus completed it.
struct PnpRecord {
    UCHAR minor;
    NTSTATUS statusOnArrival;
    ULONG_PTR informationOnArrival;
    NTSTATUS completedWith;
};

// A power request as it reached the PDO.
struct PowerRecord {
    UCHAR minor;
    POWER_STATE_TYPE type;
    int state;  // S- or D-state value
    NTSTATUS completedWith;
    KIRQL completedAt;
};

class UsbDevice final : public BulkPort {
public:
    // Made by Bus::Plug.
    UsbDevice(PDRIVER_OBJECT busDriver, unsigned port, Instrument& instrument, DeviceConfig config,
              detail::FrameSchedule& frames);
    ~UsbDevice() override;
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    // The PDO; null once the bus has deleted it (after removal of an
    // unplugged device).
    PDEVICE_OBJECT pdo() const;
    unsigned port() const { return port_; }
    const DeviceConfig& config() const { return config_; }
    // e.g. USB\VID_7E5D&PID_0007\1
    std::u16string InstancePath() const;

    // ---- physical events ----
    // The cable is pulled: the instrument disconnects, every transfer the bus
    // holds fails with STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE,
    // and so does every later request. The PDO stays until PnP removes it.
    void Unplug();
    bool plugged() const;

    // ---- the hub port ----
    void SetPortStatus(ULONG status);
    ULONG portStatus() const;
    // Port resets fail with `status` until set back to STATUS_SUCCESS.
    void FailPortResets(NTSTATUS status);
    unsigned portResets() const;

    // ---- faults ----
    void FailUrb(UrbFailure failure);
    // From now on the device answers configuration-descriptor requests with
    // `bytes` (a device whose answer changes between two reads); what it
    // selects stays the configuration it was plugged in with.
    void AnswerConfigurationWith(std::vector<std::uint8_t> bytes);

    // ---- races ----
    // Arms a hold; for UrbReceived, `urbFunction` picks the URB, for
    // PowerReceived the power minor (none: any).
    std::shared_ptr<Hold> Arm(HoldPoint point, std::optional<USHORT> urbFunction = std::nullopt);

    // ---- inspection ----
    std::vector<PnpRecord> PnpLog() const;
    // The bus fails a PnP request it would otherwise accept (start, the stop
    // and remove negotiations) with `status`; STATUS_SUCCESS clears it.
    void FailPnp(UCHAR minor, NTSTATUS status);

    // ---- power ----
    // Set and query power complete on the bus thread at DISPATCH_LEVEL, with
    // success or the configured failure; wait-wake stays pending until
    // SignalWake or a cancel (or an unplug, which cancels it).
    void FailPower(UCHAR minor, POWER_STATE_TYPE type, NTSTATUS status);
    void SignalWake();
    bool WaitWakePending() const;
    DEVICE_POWER_STATE CurrentDeviceState() const;
    std::vector<PowerRecord> PowerLog() const;
    // URBs taken by the bus thread, by function.
    unsigned UrbsReceived(USHORT function) const;
    // Bulk transfers the bus holds: waiting for data or for a frame.
    std::size_t PendingTransfers() const;
    std::size_t QueuedInPackets() const;
    bool configured() const;
    bool PipeHalted(std::uint8_t endpointAddress) const;
    // Bytes sent to OUT endpoints the instrument is not wired to.
    std::size_t UnroutedOutBytes() const;

    // ---- BulkPort (the instrument's side) ----
    std::uint16_t InPacketSize() const override;
    void PushIn(InPacket packet) override;
    emu::Clock& clock() override;

    // The bus's completion path: a URB's completion for the capture, if the
    // bus keeps one, before the IRP leaves the PDO.
    void CaptureCompletion(PIRP irp, PURB urb);

private:
    friend struct detail::BusDispatch;
    friend class Bus;
    using Completions = detail::Completions;

    // Dispatch routines of the bus driver (caller's thread).
    NTSTATUS DispatchInternalControl(PIRP irp);
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS DispatchPower(PIRP irp);
    NTSTATUS DispatchSystemControl(PIRP irp);
    void OnTransferCancelled(PIRP irp);

    // Bus thread.
    void ProcessInternalRequest(PIRP irp);
    void ProcessUrb(PIRP irp, PURB urb);
    void GetDescriptor(PURB urb, Completions& done, PIRP irp);
    void SelectConfiguration(PURB urb, Completions& done, PIRP irp);
    void AbortPipe(PURB urb, PIRP irp);
    void ResetPipe(PURB urb, PIRP irp);
    // Finds the request's pipe, runs `act` on it with the mutex held, then
    // tells the instrument and completes; a bad handle fails the request.
    void PipeRequest(PURB urb, PIRP irp, const std::function<void(detail::Pipe&, Completions&)>& act);
    void SubmitBulk(PURB urb, PIRP irp);
    void DeliverOut(detail::Pipe& pipe, PURB urb, PIRP irp);
    void PumpIn();
    void CompleteDueTransfers();
    void FinishClaimedIn(detail::Transfer transfer);
    void HoldIfArmed(HoldPoint point, USHORT urbFunction, PIRP irp);
    // Calls the instrument unless it has been disconnected; serialised with
    // Disconnect so that nothing reaches an instrument after it.
    bool CallInstrument(const std::function<void()>& call);
    NTSTATUS AnswerCapabilities(PDEVICE_CAPABILITIES capabilities) const;
    NTSTATUS AnswerId(BUS_QUERY_ID_TYPE type, ULONG_PTR& information) const;
    NTSTATUS AnswerTargetRelation(PDEVICE_OBJECT pdo, ULONG_PTR& information) const;

    // With the mutex held.
    detail::Pipe* FindPipe(USBD_PIPE_HANDLE handle);
    detail::Transfer* FirstWaitingForInstrument();
    bool Fill(detail::Transfer& transfer);
    void CloseConfiguration(Completions& done);
    void FailTransfers(const std::function<bool(const detail::Transfer&)>& which, USBD_STATUS usbd, NTSTATUS status,
                       Completions& done);
    bool Enqueue(detail::Transfer transfer, Completions& done);
    // Frame timing: books the packets a transfer took since the last booking.
    void BookPackets(detail::Transfer& transfer);
    // Marks a transfer ready for its frame and arms the timer for the earliest one.
    void ScheduleFrame(detail::Transfer& transfer);
    const UrbFailure* MatchFailure(PURB urb);
    USBD_PIPE_HANDLE NewHandle();
    void DeletePdo();
    // Bus: deletes the PDO of a removed, unplugged device once nothing is
    // attached to it any more.
    void ReapPdo();
    // The capture of the URBs (UsbCapture.h), if the bus keeps one: a URB's
    // submission, with the mutex held.
    void CaptureSubmission(PIRP irp, PURB urb, emu::Time now);

    const unsigned port_;
    Instrument& instrument_;
    const DeviceConfig config_;
    detail::FrameSchedule& frames_;
    detail::CaptureSlot* capture_ = nullptr;  // the bus's; set by Bus::Plug
    std::unique_ptr<detail::ConfigurationModel> model_;
    std::optional<std::uint8_t> instrumentIn_;  // endpoint addresses
    std::optional<std::uint8_t> instrumentOut_;
    std::uint16_t inPacketSize_ = 0;
    PDEVICE_OBJECT pdo_ = nullptr;
    bool pdoDeletePending_ = false;

    std::mutex instrumentMutex_;  // taken before mutex_, never after
    mutable std::mutex mutex_;
    bool gone_ = false;          // unplugged
    bool disconnected_ = false;  // the instrument's Disconnect has returned
    bool stopping_ = false;      // the device object is being destroyed
    ULONG portStatus_;
    NTSTATUS portResetResult_ = STATUS_SUCCESS;
    unsigned portResets_ = 0;
    std::vector<std::pair<UrbFailure, unsigned>> failures_;         // with matches seen
    std::optional<std::vector<std::uint8_t>> configurationAnswer_;  // replaces the plugged-in bytes
    std::map<USHORT, unsigned> urbsReceived_;
    std::vector<std::unique_ptr<detail::Pipe>> pipes_;  // kept for the device's life; closed ones unfindable
    USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
    std::uintptr_t nextHandle_;
    std::deque<InPacket> inQueue_;
    std::list<detail::Transfer> transfers_;
    std::uint64_t nextTransferId_ = 1;
    bool pumpPosted_ = false;
    std::shared_ptr<detail::Liveness> liveness_;
    std::optional<emu::Clock::TimerId> frameTimer_;
    emu::Time frameTimerAt_ = 0;
    std::size_t unroutedOutBytes_ = 0;
    std::vector<PnpRecord> pnpLog_;
    std::map<UCHAR, NTSTATUS> pnpFailures_;
    // Power: the pending wait-wake request, the D-state, failures to inject.
    PIRP waitWake_ = nullptr;
    DEVICE_POWER_STATE devicePowerState_ = PowerDeviceD0;
    std::vector<std::tuple<UCHAR, POWER_STATE_TYPE, NTSTATUS>> powerFailures_;
    std::vector<PowerRecord> powerLog_;
    static VOID NTAPI WaitWakeCancelled(PDEVICE_OBJECT device, PIRP irp);
    void CancelWaitWake();
    std::vector<std::shared_ptr<Hold>> holds_;

    // Last: stopped first, while everything it uses still exists.
    std::unique_ptr<emu::SystemThread> thread_;
};

}  // namespace emu::usb
