// A terminal session on one instrument's COM port: a typed line goes to the
// port with the chosen line end, answers are printed as they arrive, and a
// line starting with ~ is one of the session's own commands (~unplug,
// ~replug, ~sleep, ~wake, ~log, the other device commands, ~help, ~quit;
// ~~ sends a line that starts with ~).
//
// The port is open while the instrument is plugged in: unplugging closes
// it (the reader that notices a removal made elsewhere only wakes the
// session's loop, which closes it), replugging opens the new device's port.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "link/ComPort.h"
#include "link/FdTools.h"
#include "link/PortReader.h"
#include "link/SerialDump.h"
#include "link/SimSystem.h"
#include "term/TermScreen.h"

namespace tesmo::sim {

class TermSession {
public:
    // `dumpTo`, if not null, gets every transfer to and from the port in hex.
    TermSession(SimSystem& system, TermScreen& screen, std::string lineEnd, bool echo, std::FILE* dumpTo = nullptr);
    ~TermSession();
    TermSession(const TermSession&) = delete;
    TermSession& operator=(const TermSession&) = delete;

    // Opens the device's port and starts printing what it answers.
    bool Attach(std::int32_t device);
    // A line as typed; false when it asks the session to end.
    bool Enter(const std::string& line);
    // Readable when the reader saw the instrument go; then call Wake.
    int wakeFd() const { return wake_.readFd(); }
    void Wake();
    // Returns once nothing was sent or answered for kQuietBeforeExit, so
    // that the answers to the last lines of piped input are printed.
    void LetAnswersArrive() const;
    void Detach();

    static constexpr std::chrono::milliseconds kQuietBeforeExit{300};

private:
    using Clock = std::chrono::steady_clock;

    void Send(const std::string& line);
    bool Command(const std::string& command);
    void DeviceCommand(const std::string& command);
    void Gone();

    SimSystem& system_;
    TermScreen& screen_;
    std::string lineEnd_;
    bool echo_;
    std::int32_t device_ = 0;
    std::unique_ptr<ComPort> port_;
    std::FILE* dumpTo_;
    std::unique_ptr<SerialDump> dump_;
    std::unique_ptr<PortReader> reader_;
    WakePipe wake_;
    std::atomic<bool> gone_{false};
    std::atomic<Clock::time_point> lastActivity_{Clock::now()};
};

}  // namespace tesmo::sim
