// A serial port driven by a fake driver (FakeDevice at \Device\Serial3 with
// the link \DosDevices\COM3) that answers the serial controls the way a
// serial driver does: settings are stored and handed back, lengths are
// checked (STATUS_BUFFER_TOO_SMALL), and the modem-line, break and wait
// requests answer STATUS_NOT_IMPLEMENTED as on a port without modem lines.
// A test can make any control answer another status, and sees every request
// in order with its lengths and input bytes.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "FakeDevice.h"

namespace tesmo::test {

// A request as the comm tests compare it.
struct ControlRequest {
    ULONG code;
    ULONG inputLength;
    ULONG outputLength;
    bool operator==(const ControlRequest&) const = default;
};
void PrintTo(const ControlRequest& request, std::ostream* out);
// The name of a serial control, for messages ("GET_BAUD_RATE").
std::string ControlName(ULONG code);

struct SerialSettings {
    SERIAL_BAUD_RATE baud{9600};
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_CHARS chars{0x1A, 0, 0, 0, 0x11, 0x13};
    SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 1024, 1024};
    SERIAL_TIMEOUTS timeouts{};
    SERIAL_QUEUE_SIZE queue{};
    ULONG waitMask = 0;
    ULONG modemStatus = 0;
    SERIAL_STATUS status{};
    SERIAL_COMMPROP properties{};
};

class FakeSerialPort {
public:
    explicit FakeSerialPort(emu::System& system);

    FakeDevice& device() { return device_; }
    // The driver's settings; change them before a call to set what it reads.
    SerialSettings& settings() { return settings_; }
    // The next requests with this code answer `status` (and change nothing).
    void Answer(ULONG code, NTSTATUS status);
    // Requests of this code are held pending (FakeDevice::Hold).
    void Hold(ULONG code);

    // The device controls that reached the driver, in order.
    std::vector<ControlRequest> Controls() const;
    std::vector<RecordedRequest> ControlRequests() const;
    void Clear() { device_.ClearRequests(); }

private:
    NTSTATUS Serve(PIRP irp, PIO_STACK_LOCATION sp);

    FakeDevice device_;
    std::mutex mutex_;
    SerialSettings settings_;
    std::map<ULONG, NTSTATUS> answers_;
    std::set<ULONG> held_;
};

}  // namespace tesmo::test
