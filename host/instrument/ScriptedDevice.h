// A device for tests that plays an exact script of bus events, one step after
// the other:
//   Packet     push one IN packet with the given bytes (full, short or empty)
//   FailIn     fail the next IN transaction with a USBD status (a stall,
//              a device that does not respond, ...)
//   Silence    push nothing until the test calls Release
//   ExpectOut  wait for an OUT transfer; check its bytes if given, and
//              complete it with the given USBD status
//   Delay      wait until the emulated clock has moved on by the given time
//              (counted from when the script reaches the step)
// Push steps run as soon as the script reaches them, so consecutive packets
// are queued on the bus together. Steps may be appended at any time, also
// while the script runs or waits at its end; the script only runs while the
// device is plugged in. Unplugging keeps the script's position; a Delay step
// interrupted by it starts afresh on the next plug-in.
//
// Every OUT transfer is recorded, with the step that took it (none when the
// script was not waiting for one: it is then accepted). A transfer whose
// bytes differ from the expected ones is completed as scripted all the same
// and recorded as a problem for the test to assert on.
//
// Thread-safe: the bus thread, clock timers and the test thread may call in
// at the same time; the Wait... calls are for the test thread.
//
// Locking: one mutex per instrument, never held while calling the bus (see
// PortLink); the instrument calls no kernel routine, so the bus may call in at
// any IRQL. Disconnect waits for a push or a timer callback in progress on
// another thread, so the bus must not call it holding a lock that its PushIn
// takes. Unplug (or destroy) the instrument before its emulated system goes:
// unplugging takes its timers off that system's clock.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emu/Clock.h"
#include "usb/Instrument.h"
#include "instrument/PortLink.h"
#include "instrument/TimerSet.h"

namespace emu::usb {

class ScriptedDevice final : public Instrument {
public:
    struct OutTransfer {
        std::vector<std::uint8_t> bytes;
        std::optional<std::size_t> step;  // the ExpectOut step that took it
        std::int32_t status = 0;          // the USBD status it completed with
    };

    ScriptedDevice() = default;
    ~ScriptedDevice() override;  // unplugs if still plugged in
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    // ---- the script; each call returns the index of the step it appends ----
    std::size_t Packet(std::vector<std::uint8_t> bytes);
    std::size_t Packet(std::string_view text);
    std::size_t FailIn(std::int32_t usbdStatus);
    std::size_t Silence();
    std::size_t ExpectOut(std::optional<std::vector<std::uint8_t>> expected = std::nullopt,
                          std::int32_t completeWith = 0);
    std::size_t ExpectOut(std::string_view expected, std::int32_t completeWith = 0);
    std::size_t Delay(emu::Time delay);

    // Ends the Silence step the script is at; false if it is not at one.
    bool Release();

    // ---- where the script is ----
    // The index of the step the script is at (performing or waiting in it);
    // the number of steps once it has played them all.
    std::size_t Position() const;
    std::size_t StepCount() const;
    bool Finished() const;
    // Blocks the test until every step before `step` has been played.
    bool WaitUntilReached(std::size_t step);
    bool WaitUntilFinished();

    // ---- what the host did ----
    std::vector<OutTransfer> OutTransfers() const;
    std::size_t OutTransferCount() const;
    // Expectation mismatches, in words; empty when the host behaved.
    std::vector<std::string> Problems() const;
    // Endpoint addresses of the pipe resets and aborts, in order.
    std::vector<std::uint8_t> PipeResets() const;
    // How often the bus reported an IN transfer waiting with nothing queued.
    std::size_t InWantedCount() const;

    // ---- Instrument ----
    void Connect(BulkPort& port) override;
    void Disconnect() override;
    std::int32_t OnBulkOut(std::span<const std::uint8_t> data) override;
    void OnInWanted() override;
    void OnPipeReset(std::uint8_t endpointAddress) override;

private:
    enum class Kind { Packet, FailIn, Silence, ExpectOut, Delay };
    struct Step {
        Kind kind;
        std::vector<std::uint8_t> bytes;                    // Packet
        std::optional<std::vector<std::uint8_t>> expected;  // ExpectOut
        std::int32_t usbdStatus = 0;                        // FailIn, ExpectOut
        emu::Time delay = 0;                                // Delay
    };

    std::size_t Append(Step step);
    // Plays steps from the position on until one has to wait. Caller holds
    // mutex_; the caller flushes the link and notifies after unlocking.
    void RunLocked();
    void OnDelayOver(std::size_t step, std::uint64_t epoch);
    void Advance();  // flush and notify, without the lock

    mutable std::mutex mutex_;
    BulkPort* port_ = nullptr;
    std::vector<Step> steps_;
    std::size_t position_ = 0;
    // The Delay step whose timer is armed; epoch_ counts plug-ins, so that a
    // timer from before an unplug does nothing.
    std::optional<std::size_t> delayArmed_;
    std::uint64_t epoch_ = 0;
    std::vector<OutTransfer> outs_;
    std::vector<std::string> problems_;
    std::vector<std::uint8_t> pipeResets_;
    std::size_t inWanted_ = 0;
    PortLink link_;
    TimerSet timers_;
};

}  // namespace emu::usb
