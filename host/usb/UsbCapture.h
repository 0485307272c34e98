// What the bus sees, as Wireshark reads it: every URB a function driver
// submits and its completion, written in the USBPcap format (pcap link type
// 249), with the emulated time as each record's time stamp. A submission
// carries what goes to the device (an OUT transfer's bytes, a control
// transfer's setup packet), a completion its status and what came back (an
// IN transfer's bytes, a descriptor). Bulk transfers are transfer type 3,
// descriptor requests and the configuration's selection control transfers
// (as the host controller carries them), pipe aborts and resets IRP records.
//
// Threads: any; records are written whole, one at a time, in the order the
// bus saw them.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emu/Clock.h"

namespace emu::usb {

// One record's content, as the bus fills it.
struct CapturedUrb {
    std::uint64_t irpId = 0;
    std::uint16_t function = 0;                        // URB_FUNCTION_*
    std::uint16_t device = 0;                          // the device's address: its bus port
    std::uint8_t endpoint = 0;                         // with the direction bit (0x80: IN)
    std::uint8_t transfer = 0;                         // kTransfer*
    bool completion = false;                           // false: the submission
    std::uint32_t usbdStatus = 0;                      // the completion's USBD status
    std::optional<std::array<std::uint8_t, 8>> setup;  // a control transfer's submission
    std::vector<std::uint8_t> data;
    emu::Time time = 0;
};

class UsbCapture {
public:
    static constexpr std::uint8_t kTransferControl = 2;
    static constexpr std::uint8_t kTransferBulk = 3;
    static constexpr std::uint8_t kTransferIrpInfo = 0xFE;
    static constexpr std::uint32_t kLinkTypeUsbPcap = 249;

    // Creates (or empties) the file and writes the pcap header; null when
    // the file cannot be written.
    static std::unique_ptr<UsbCapture> Open(const std::string& path);
    ~UsbCapture();
    UsbCapture(const UsbCapture&) = delete;
    UsbCapture& operator=(const UsbCapture&) = delete;

    // A submission is remembered until its completion, which is written
    // only for a submission written before (its endpoint and transfer type
    // come from there).
    void Submitted(const CapturedUrb& urb);
    void Completed(CapturedUrb urb);
    bool Knows(std::uint64_t irpId) const;

    // The bytes of one pcap record (its header, the USBPcap header, the data).
    static std::vector<std::uint8_t> Record(const CapturedUrb& urb);
    static std::vector<std::uint8_t> FileHeader();

private:
    explicit UsbCapture(std::FILE* file) : file_(file) {}
    void Write(const CapturedUrb& urb);

    struct Pending {
        std::uint16_t function;
        std::uint16_t device;
        std::uint8_t endpoint;
        std::uint8_t transfer;
    };

    mutable std::mutex mutex_;
    std::FILE* file_;
    std::map<std::uint64_t, Pending> pending_;
};

}  // namespace emu::usb
