// A Telnet COM-port-control server on 127.0.0.1 for one emulated port: a
// client that connects gets the port opened for it through the Win32 API,
// with what an earlier client left unread thrown away. The port is
// exclusive, so one client at a time: a second one is told so at once and
// disconnected. Its data goes to WriteFile (a plain Telnet client's CR NUL
// as CR), what ReadFile brings goes back to it; SET-BAUDRATE, SET-DATASIZE,
// SET-PARITY and SET-STOPSIZE go to SetCommState and are answered with what
// GetCommState then reports; PURGE-DATA goes to PurgeComm. DTR, RTS and
// BREAK go to EscapeCommFunction, which the driver refuses (it has no modem
// lines): they are acknowledged as asked all the same, as on a virtual
// port, and the modem state (NOTIFY-MODEMSTATE, on the client's agreement
// and on its polls) is fixed: CTS, DSR and CD on, RI off. With the
// data-ready bit in its line-state mask the client gets NOTIFY-LINESTATE
// before data that is waiting for it. A client that ends its input keeps
// its connection until the port has been quiet for a moment, so that the
// answers to its last lines reach it; a client that has gone (EPIPE,
// ECONNRESET) ends its own session only. Removing the instrument closes
// the connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "link/FdTools.h"

namespace tesmo::sim {

class Rfc2217Server {
public:
    // `device` says which device's port to open for the next client (it
    // changes when the instrument is replugged). Port 0: any free port.
    struct Options {
        bool dump = false;  // every transfer to and from the port in hex on `log` (-x)
        bool pace = false;  // both directions at the line's speed (LinePacer.h)
    };
    Rfc2217Server(std::uint16_t port, std::function<std::int32_t()> device, std::FILE* log, Options options);
    ~Rfc2217Server();  // stops serving and disconnects the client
    Rfc2217Server(const Rfc2217Server&) = delete;
    Rfc2217Server& operator=(const Rfc2217Server&) = delete;

    bool ok() const { return listening_; }
    std::uint16_t port() const { return port_; }

private:
    void Serve();
    void ServeClient(UniqueFd client);
    // Accepts a connection that came while a client is served and tells it
    // the port is in use.
    void RefuseWhileBusy(const std::string& portName);

    std::function<std::int32_t()> device_;
    std::FILE* log_;
    Options options_;
    UniqueFd listener_;
    std::uint16_t port_ = 0;
    bool listening_ = false;
    WakePipe wake_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace tesmo::sim
