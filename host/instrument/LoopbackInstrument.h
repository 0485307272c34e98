// A looped-back port, as serial test suites expect one (TX joined to RX):
// the bytes of every bulk OUT transfer come back on the bulk IN pipe, in
// order, cut into packets of the IN pipe's packet size. Each transfer ends
// with a short (possibly zero-length) packet, so the host's IN transfer ends
// with it instead of waiting for the next write. The bus paces them: with
// frame timing on, the packets leave at the bus's (micro)frame rate.
//
// What the host has not read yet waits on the bus (no flow control, as on a
// wire). Unplugging drops what has not been delivered.
//
// Thread-safe; locking as for the other instruments (see PortLink): no lock
// of the instrument is held while the bus is called.
#pragma once

#include <cstdint>
#include <mutex>

#include "usb/Instrument.h"
#include "instrument/PortLink.h"

namespace emu::usb {

class LoopbackInstrument final : public Instrument {
public:
    LoopbackInstrument() = default;
    ~LoopbackInstrument() override;  // unplugs if still plugged in
    LoopbackInstrument(const LoopbackInstrument&) = delete;
    LoopbackInstrument& operator=(const LoopbackInstrument&) = delete;

    // Bytes taken from the OUT pipe since construction.
    std::uint64_t BytesLooped() const;

    // ---- Instrument ----
    void Connect(BulkPort& port) override;
    void Disconnect() override;
    std::int32_t OnBulkOut(std::span<const std::uint8_t> data) override;

private:
    mutable std::mutex mutex_;
    bool connected_ = false;
    std::uint64_t looped_ = 0;
    PortLink link_;
};

}  // namespace emu::usb
