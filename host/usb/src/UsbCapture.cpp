#include "usb/UsbCapture.h"

namespace emu::usb {

namespace {

constexpr std::uint16_t kBulkHeaderSize = 27;
constexpr std::uint16_t kControlHeaderSize = 28;  // one more byte: the stage
constexpr std::uint8_t kStageSetup = 0;
constexpr std::uint8_t kStageComplete = 3;
constexpr std::uint8_t kFromDevice = 0x01;  // info bit: PDO to FDO, a completion
constexpr std::uint16_t kBus = 1;
constexpr emu::Time kTicksPerSecond = 10'000'000;
constexpr emu::Time kTicksPerMicrosecond = 10;

void Put(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<std::uint8_t> UsbCapture::FileHeader()
{
    std::vector<std::uint8_t> header;
    Put(header, 0xA1B2C3D4, 4);  // microsecond time stamps, little-endian
    Put(header, 2, 2);
    Put(header, 4, 2);
    Put(header, 0, 4);  // time zone
    Put(header, 0, 4);  // accuracy
    Put(header, 65535, 4);
    Put(header, kLinkTypeUsbPcap, 4);
    return header;
}

std::vector<std::uint8_t> UsbCapture::Record(const CapturedUrb& urb)
{
    bool control = urb.transfer == kTransferControl;
    std::vector<std::uint8_t> payload;
    if (urb.setup) payload.assign(urb.setup->begin(), urb.setup->end());
    payload.insert(payload.end(), urb.data.begin(), urb.data.end());

    std::vector<std::uint8_t> usbpcap;
    Put(usbpcap, control ? kControlHeaderSize : kBulkHeaderSize, 2);
    Put(usbpcap, urb.irpId, 8);
    Put(usbpcap, urb.completion ? urb.usbdStatus : 0, 4);
    Put(usbpcap, urb.function, 2);
    Put(usbpcap, urb.completion ? kFromDevice : 0, 1);
    Put(usbpcap, kBus, 2);
    Put(usbpcap, urb.device, 2);
    Put(usbpcap, urb.endpoint, 1);
    Put(usbpcap, urb.transfer, 1);
    Put(usbpcap, payload.size(), 4);
    if (control) Put(usbpcap, urb.completion ? kStageComplete : kStageSetup, 1);
    usbpcap.insert(usbpcap.end(), payload.begin(), payload.end());

    std::vector<std::uint8_t> record;
    emu::Time time = urb.time < 0 ? 0 : urb.time;
    Put(record, static_cast<std::uint64_t>(time / kTicksPerSecond), 4);
    Put(record, static_cast<std::uint64_t>(time % kTicksPerSecond / kTicksPerMicrosecond), 4);
    Put(record, usbpcap.size(), 4);
    Put(record, usbpcap.size(), 4);
    record.insert(record.end(), usbpcap.begin(), usbpcap.end());
    return record;
}

std::unique_ptr<UsbCapture> UsbCapture::Open(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return nullptr;
    std::unique_ptr<UsbCapture> capture(new UsbCapture(file));
    std::vector<std::uint8_t> header = FileHeader();
    std::fwrite(header.data(), 1, header.size(), file);
    std::fflush(file);
    return capture;
}

UsbCapture::~UsbCapture() { std::fclose(file_); }

void UsbCapture::Write(const CapturedUrb& urb)
{
    std::vector<std::uint8_t> record = Record(urb);
    std::fwrite(record.data(), 1, record.size(), file_);
    // A reader of a session still running sees every record so far.
    std::fflush(file_);
}

void UsbCapture::Submitted(const CapturedUrb& urb)
{
    std::lock_guard lock(mutex_);
    pending_[urb.irpId] = Pending{urb.function, urb.device, urb.endpoint, urb.transfer};
    Write(urb);
}

void UsbCapture::Completed(CapturedUrb urb)
{
    std::lock_guard lock(mutex_);
    auto it = pending_.find(urb.irpId);
    if (it == pending_.end()) return;
    urb.function = it->second.function;
    urb.device = it->second.device;
    urb.endpoint = it->second.endpoint;
    urb.transfer = it->second.transfer;
    urb.completion = true;
    urb.setup.reset();
    pending_.erase(it);
    Write(urb);
}

bool UsbCapture::Knows(std::uint64_t irpId) const
{
    std::lock_guard lock(mutex_);
    return pending_.count(irpId) != 0;
}

}  // namespace emu::usb
