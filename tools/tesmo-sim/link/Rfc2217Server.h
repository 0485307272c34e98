// A Telnet COM-port-control server on 127.0.0.1 for one emulated port: a
// client that connects gets the port opened for it through the Win32 API
// (the port is exclusive, so clients take turns: the next connection is
// accepted when the current one ends). Its data goes to WriteFile, what
// ReadFile brings goes back to it; SET-BAUDRATE, SET-DATASIZE, SET-PARITY
// and SET-STOPSIZE go to SetCommState and are answered with what
// GetCommState then reports; PURGE-DATA goes to PurgeComm. DTR and RTS go to
// EscapeCommFunction; when the driver refuses them the answer is the line's
// unchanged state (on). With the data-ready bit in its line-state mask the
// client gets NOTIFY-LINESTATE before data that is waiting for it.
// Removing the instrument closes the connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <thread>

#include "link/FdTools.h"

namespace tesmo::sim {

class Rfc2217Server {
public:
    // `device` says which device's port to open for the next client (it
    // changes when the instrument is replugged). Port 0: any free port.
    Rfc2217Server(std::uint16_t port, std::function<std::int32_t()> device, std::FILE* log);
    ~Rfc2217Server();  // stops serving and disconnects the client
    Rfc2217Server(const Rfc2217Server&) = delete;
    Rfc2217Server& operator=(const Rfc2217Server&) = delete;

    bool ok() const { return listening_; }
    std::uint16_t port() const { return port_; }

private:
    void Serve();
    void ServeClient(UniqueFd client);

    std::function<std::int32_t()> device_;
    std::FILE* log_;
    UniqueFd listener_;
    std::uint16_t port_ = 0;
    bool listening_ = false;
    WakePipe wake_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace tesmo::sim
