// A COM port of the emulated system opened through the Win32 API for a
// bridge: overlapped, so that a read waiting for the instrument does not
// hold back a write from another thread (a synchronous handle would
// serialise them). Reads wait as long as the driver lets them (about 49
// days), so a reader waits for the instrument and not for a time limit.
//
// Reading and writing may each come from one thread at a time; the settings
// calls from either.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "link/LineSettings.h"
#include "tesmo/windows.h"

namespace tesmo::sim {

class ComPort {
public:
    // Fails (IsOpen false, Error set) when the port cannot be opened.
    explicit ComPort(const std::string& name);
    ~ComPort();
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    const std::string& name() const { return name_; }
    // The last failed call's Win32 error.
    DWORD Error() const { return error_; }

    // Whole buffer written, or false.
    bool Write(std::span<const std::uint8_t> bytes);
    // What one read brought (possibly nothing), or nothing on a failure.
    std::optional<std::size_t> Read(std::span<std::uint8_t> buffer);
    // SetCommState with these settings, then what GetCommState reports.
    std::optional<LineSettings> Apply(const LineSettings& settings);
    std::optional<LineSettings> Current();
    bool Purge(DWORD flags);
    // EscapeCommFunction (SETDTR, CLRRTS, ...).
    bool Escape(DWORD function);
    // Bytes the driver holds for the next read (ClearCommError).
    std::optional<DWORD> BytesWaiting();
    // Read time-outs: a read waits at most this long for the instrument.
    bool SetReadLimit(DWORD milliseconds);
    void Close();

private:
    bool Transfer(bool read, void* data, DWORD length, DWORD& done);

    std::string name_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    DWORD error_ = 0;
};

}  // namespace tesmo::sim
