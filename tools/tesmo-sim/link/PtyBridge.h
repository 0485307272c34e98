// One COM port of the emulated system as a Linux pseudo-terminal: bytes a
// client writes to /dev/pts/N go to the port with WriteFile, what ReadFile
// brings back is written to the client. The line settings the client sets
// with termios reach the port with SetCommState before the next bytes it
// writes (the pty does not announce them, so they are also looked at every
// kSettingsCheck). When the instrument is pulled out the pty closes: the
// client reads end of file and poll reports a hang-up; the port handle is
// closed, so the driver's removal can finish.
//
// The bridge keeps the pty's client side open itself, so a client may close
// and open it again (a client that leaves does not hang the bridge up).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <string>
#include <thread>

#include "link/ComPort.h"
#include "link/FdTools.h"
#include "link/LinePacer.h"
#include "link/LineSettings.h"
#include "link/PortReader.h"
#include "link/SerialDump.h"

namespace tesmo::sim {

// Who may open the pty: its mode and group (the link, a symbolic link,
// gets the group too). Unset: as the system made it (the owner only).
struct PtyAccess {
    std::optional<mode_t> mode;
    std::optional<gid_t> group;
};

struct PtyOptions {
    std::string linkPath;  // a symbolic link to the pty; empty: none
    PtyAccess access;
    bool dump = false;  // every transfer to and from the port in hex on `log` (-x)
    bool pace = false;  // both directions at the line's speed (LinePacer.h)
};

class PtyBridge {
public:
    static constexpr int kSettingsCheck = 50;  // milliseconds

    // Opens the port and the pty; `linkPath` (may be empty) becomes a
    // symbolic link to the pty. Messages go to `log`.
    PtyBridge(std::int32_t device, const std::string& portName, const PtyOptions& options, std::FILE* log);
    ~PtyBridge();
    PtyBridge(const PtyBridge&) = delete;
    PtyBridge& operator=(const PtyBridge&) = delete;

    bool ok() const { return ok_; }
    std::int32_t device() const { return device_; }
    const std::string& ptyPath() const { return ptyPath_; }
    const std::string& linkPath() const { return linkPath_; }
    bool hungUp() const { return hungUp_; }

private:
    bool OpenPty(const PtyAccess& access);
    void Pump();
    void SyncSettings();
    void Close();

    std::int32_t device_;
    std::FILE* log_;
    ComPort port_;
    UniqueFd master_, clientSide_;
    std::string ptyPath_, linkPath_;
    LineSettings applied_;
    WakePipe wake_;
    std::atomic<bool> stopping_{false}, hungUp_{false};
    bool ok_ = false;
    std::unique_ptr<SerialDump> dump_;
    std::unique_ptr<LinePacer> toPort_, fromPort_;  // with --pace
    std::unique_ptr<PortReader> reader_;
    std::thread pump_;
};

}  // namespace tesmo::sim
