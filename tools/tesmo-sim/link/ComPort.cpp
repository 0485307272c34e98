#include "link/ComPort.h"

namespace tesmo::sim {

namespace {

// The longest wait the driver's read time-outs express, short of MAXDWORD
// (which, with the other two at MAXDWORD, the driver refuses).
constexpr DWORD kLongestWait = 0xFFFFFFFEu;

const char kParities[] = "NOEMS";

LineSettings FromDcb(const DCB& dcb)
{
    LineSettings settings;
    settings.baudRate = dcb.BaudRate;
    settings.dataBits = dcb.ByteSize;
    settings.parity = dcb.Parity < 5 ? kParities[dcb.Parity] : '?';
    settings.stopBits = dcb.StopBits == ONE5STOPBITS ? 15 : dcb.StopBits == TWOSTOPBITS ? 2 : 1;
    return settings;
}

void ToDcb(const LineSettings& settings, DCB& dcb)
{
    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = settings.dataBits;
    const char* parity = std::char_traits<char>::find(kParities, 5, settings.parity);
    dcb.Parity = parity ? static_cast<BYTE>(parity - kParities) : NOPARITY;
    dcb.StopBits = settings.stopBits == 15 ? ONE5STOPBITS : settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
}

// A manual-reset event for one overlapped request.
class RequestEvent {
public:
    RequestEvent() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~RequestEvent()
    {
        if (handle_) CloseHandle(handle_);
    }
    RequestEvent(const RequestEvent&) = delete;
    RequestEvent& operator=(const RequestEvent&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

}  // namespace

ComPort::ComPort(const std::string& name) : name_(name)
{
    std::string path = "\\\\.\\" + name;
    handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                          nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        error_ = GetLastError();
        return;
    }
    SetReadLimit(kLongestWait);
}

ComPort::~ComPort() { Close(); }

void ComPort::Close()
{
    if (handle_ == INVALID_HANDLE_VALUE) return;
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

bool ComPort::SetReadLimit(DWORD milliseconds)
{
    COMMTIMEOUTS timeouts{0, 0, milliseconds, 0, 0};
    if (SetCommTimeouts(handle_, &timeouts)) return true;
    error_ = GetLastError();
    return false;
}

bool ComPort::Transfer(bool read, void* data, DWORD length, DWORD& done)
{
    RequestEvent event;
    OVERLAPPED request{};
    request.hEvent = event.get();
    BOOL started = read ? ReadFile(handle_, data, length, nullptr, &request)
                        : WriteFile(handle_, data, length, nullptr, &request);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        error_ = GetLastError();
        return false;
    }
    if (!GetOverlappedResult(handle_, &request, &done, TRUE)) {
        error_ = GetLastError();
        return false;
    }
    return true;
}

bool ComPort::Write(std::span<const std::uint8_t> bytes)
{
    DWORD done = 0;
    return Transfer(false, const_cast<std::uint8_t*>(bytes.data()), static_cast<DWORD>(bytes.size()), done) &&
           done == bytes.size();
}

std::optional<std::size_t> ComPort::Read(std::span<std::uint8_t> buffer)
{
    DWORD done = 0;
    if (!Transfer(true, buffer.data(), static_cast<DWORD>(buffer.size()), done)) return std::nullopt;
    return done;
}

std::optional<LineSettings> ComPort::Current()
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) {
        error_ = GetLastError();
        return std::nullopt;
    }
    return FromDcb(dcb);
}

std::optional<LineSettings> ComPort::Apply(const LineSettings& settings)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) {
        error_ = GetLastError();
        return std::nullopt;
    }
    ToDcb(settings, dcb);
    if (!SetCommState(handle_, &dcb)) {
        error_ = GetLastError();
        return std::nullopt;
    }
    return Current();
}

bool ComPort::Purge(DWORD flags)
{
    if (PurgeComm(handle_, flags)) return true;
    error_ = GetLastError();
    return false;
}

bool ComPort::Escape(DWORD function)
{
    if (EscapeCommFunction(handle_, function)) return true;
    error_ = GetLastError();
    return false;
}

std::optional<DWORD> ComPort::BytesWaiting()
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_, &errors, &status)) {
        error_ = GetLastError();
        return std::nullopt;
    }
    return status.cbInQue;
}

}  // namespace tesmo::sim
