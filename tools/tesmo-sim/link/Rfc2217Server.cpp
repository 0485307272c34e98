#include "link/Rfc2217Server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <memory>
#include <optional>
#include <string>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "link/ComPort.h"
#include "link/ComPortOption.h"
#include "link/LinePacer.h"
#include "link/PortReader.h"
#include "link/SerialDump.h"
#include "link/Telnet.h"
#include "tesmo/control.h"
#include "ErrorText.h"

namespace tesmo::sim {

namespace {

namespace t = telnet;
namespace c = comport;

// After the client's end of input its answers still have a moment to
// come: the connection stays until the port has been quiet this long (as
// the terminal does), but no longer than kDrainLimit.
constexpr auto kDrainQuiet = std::chrono::milliseconds(300);
constexpr auto kDrainLimit = std::chrono::seconds(3);
// The virtual lines the port shows: it has no modem, so the lines an
// instrument would drive are fixed (CTS, DSR, CD on; RI off).
constexpr std::uint8_t kModemState = c::kModemClearToSend | c::kModemDataSetReady | c::kModemCarrierDetect;

using Clock = std::chrono::steady_clock;

void Refuse(int socket, const std::string& why)
{
    std::string text = "tesmo-sim: " + why + "\r\n";
    std::atomic<bool> never{false};
    SendAll(socket, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), never);
}

// One client's connection to the port.
class ClientSession {
public:
    ClientSession(int socket, ComPort& port, std::FILE* log, WakePipe& wake, Rfc2217Server::Options options)
        : socket_(socket), port_(port), log_(log), wake_(wake)
    {
        if (options.dump) dump_ = std::make_unique<SerialDump>(log, port.name());
        if (options.pace) {
            toPort_ = std::make_unique<LinePacer>();
            fromPort_ = std::make_unique<LinePacer>();
            if (auto settings = port_.Current()) PaceAt(*settings);
        }
    }

    void Greet()
    {
        for (auto option : {t::kBinary, t::kSuppressGoAhead}) Send(t::Negotiate(t::kWill, option));
        Send(t::Negotiate(t::kDo, t::kComPort));
    }

    void Send(const t::Bytes& bytes)
    {
        std::lock_guard lock(sendMutex_);
        if (closed_) return;
        if (!SendAll(socket_, bytes, closed_)) {
            gone_ = errno;
            closed_ = true;
            wake_.Wake();
        }
    }

    void FromPort(std::span<const std::uint8_t> bytes)
    {
        lastFromPort_ = Clock::now().time_since_epoch().count();
        if (dump_) dump_->Show(Direction::FromPort, bytes);
        LinePacer::Deliver(fromPort_.get(), bytes, [this](std::span<const std::uint8_t> piece) {
            if (lineStateMask_ & c::kLineDataReady) {
                std::uint8_t notify[] = {c::kNotifyLineState + c::kServerOffset, c::kLineDataReady};
                Send(t::Subnegotiate(t::kComPort, notify));
            }
            Send(t::EscapeData(piece));
        });
    }

    // False when the client has gone.
    bool FromClient(std::span<const std::uint8_t> bytes)
    {
        for (auto& event : decoder_.Feed(bytes)) {
            if (auto* data = std::get_if<t::Data>(&event)) {
                if (dump_) dump_->Show(Direction::ToPort, data->bytes);
                LinePacer::Deliver(toPort_.get(), data->bytes, [this](std::span<const std::uint8_t> piece) {
                    if (!port_.Write(piece)) Log("WriteFile failed: %s", Win32ErrorText(port_.Error()).c_str());
                });
            } else if (auto* negotiation = std::get_if<t::Negotiation>(&event)) {
                Negotiate(*negotiation);
            } else if (auto* sub = std::get_if<t::Subnegotiation>(&event)) {
                if (sub->option == t::kComPort && !sub->payload.empty()) ComPortCommand(sub->payload);
            }
        }
        return !closed_;
    }

    bool closed() const { return closed_; }
    int goneErrno() const { return gone_; }
    Clock::time_point lastFromPort() const { return Clock::time_point(Clock::duration(lastFromPort_.load())); }

private:
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        std::fprintf(log_, "%s: ", port_.name().c_str());
        va_list arguments;
        va_start(arguments, format);
        std::vfprintf(log_, format, arguments);
        va_end(arguments);
        std::fputc('\n', log_);
        std::fflush(log_);
    }

    void PaceAt(const LineSettings& settings)
    {
        if (!toPort_) return;
        toPort_->SetLine(settings);
        fromPort_->SetLine(settings);
    }

    void Negotiate(const t::Negotiation& request)
    {
        bool known =
            request.option == t::kBinary || request.option == t::kSuppressGoAhead || request.option == t::kComPort;
        if (request.verb == t::kDo) Send(t::Negotiate(known ? t::kWill : t::kWont, request.option));
        if (request.verb == t::kWill) {
            if (request.option == t::kBinary) decoder_.SetPeerBinary(true);
            // The client speaks COM-PORT-OPTION (it answers the server's DO):
            // it learns the lines' state at once.
            if (request.option == t::kComPort) NotifyModemState();
            if (request.option != t::kComPort) Send(t::Negotiate(known ? t::kDo : t::kDont, request.option));
        }
        if (request.verb == t::kWont && request.option == t::kBinary) decoder_.SetPeerBinary(false);
    }

    void Answer(std::uint8_t command, std::span<const std::uint8_t> value)
    {
        t::Bytes payload{static_cast<std::uint8_t>(command + c::kServerOffset)};
        payload.insert(payload.end(), value.begin(), value.end());
        Send(t::Subnegotiate(t::kComPort, payload));
    }

    void NotifyModemState()
    {
        std::uint8_t state = kModemState & modemStateMask_;
        Answer(c::kNotifyModemState, std::span(&state, 1));
    }

    void ComPortCommand(const t::Bytes& payload)
    {
        std::uint8_t command = payload[0];
        std::span<const std::uint8_t> value(payload.data() + 1, payload.size() - 1);
        std::uint8_t first = value.empty() ? 0 : value[0];
        switch (command) {
        case c::kSetBaudRate:
        case c::kSetDataSize:
        case c::kSetParity:
        case c::kSetStopSize: return LineSetting(command, value);
        case c::kSetControl: return Control(first);
        case c::kPurgeData: {
            DWORD flags = (first == c::kPurgeReceive || first == c::kPurgeBoth ? PURGE_RXCLEAR : 0) |
                          (first == c::kPurgeTransmit || first == c::kPurgeBoth ? PURGE_TXCLEAR : 0);
            bool ok = port_.Purge(flags);
            Log("PURGE-DATA %u -> PurgeComm %s", first, ok ? "done" : Win32ErrorText(port_.Error()).c_str());
            return Answer(command, value);
        }
        case c::kNotifyModemState: return NotifyModemState();  // a client's poll
        case c::kSetLineStateMask: lineStateMask_ = first; return Answer(command, value);
        case c::kSetModemStateMask: modemStateMask_ = first; return Answer(command, value);
        case c::kFlowControlSuspend:
        case c::kFlowControlResume: return Answer(command, value);
        default: return;  // signatures and the like: nothing to say
        }
    }

    void LineSetting(std::uint8_t command, std::span<const std::uint8_t> value)
    {
        auto settings = port_.Current();
        if (!settings) return;
        std::uint32_t asked = 0;
        for (std::uint8_t byte : value) asked = asked << 8 | byte;
        static const char* const names[] = {"", "SET-BAUDRATE", "SET-DATASIZE", "SET-PARITY", "SET-STOPSIZE"};
        if (asked != c::kAskCurrent) {
            LineSettings wanted = *settings;
            if (command == c::kSetBaudRate) wanted.baudRate = asked;
            if (command == c::kSetDataSize) wanted.dataBits = static_cast<std::uint8_t>(asked);
            if (command == c::kSetParity && asked >= c::kParityNone && asked <= c::kParitySpace) {
                wanted.parity = c::kParityLetters[asked];
            }
            if (command == c::kSetStopSize) {
                wanted.stopBits = asked == c::kStopOneAndHalf ? 15 : static_cast<std::uint8_t>(asked);
            }
            if (auto now = port_.Apply(wanted)) settings = now;
            PaceAt(*settings);
            Log("%s %u -> SetCommState; GetCommState: %s", names[command], asked, settings->Text().c_str());
        }
        if (command == c::kSetBaudRate) {
            std::uint32_t baud = settings->baudRate;
            std::uint8_t bytes[] = {std::uint8_t(baud >> 24), std::uint8_t(baud >> 16), std::uint8_t(baud >> 8),
                                    std::uint8_t(baud)};
            return Answer(command, bytes);
        }
        std::uint8_t answer = 0;
        if (command == c::kSetDataSize) answer = settings->dataBits;
        if (command == c::kSetParity) {
            answer = static_cast<std::uint8_t>(std::string_view(c::kParityLetters).find(settings->parity));
        }
        if (command == c::kSetStopSize)
            answer = settings->stopBits == 15 ? std::uint8_t{c::kStopOneAndHalf} : settings->stopBits;
        Answer(command, std::span(&answer, 1));
    }

    // DTR, RTS and BREAK: the driver has no modem lines and refuses them.
    // The request is acknowledged as made, as a virtual port does, so that
    // a client that pulses DTR on open goes on; asking gives what the
    // client last set. Flow control: none, whatever is asked.
    void Control(std::uint8_t request)
    {
        std::uint8_t answer = request;
        switch (request) {
        case c::kFlowAsk:
        case c::kFlowNone:
        case c::kFlowXonXoff:
        case c::kFlowHardware: answer = c::kFlowNone; break;
        case c::kBreakAsk: answer = breakOn_ ? c::kBreakOn : c::kBreakOff; break;
        case c::kDtrAsk: answer = dtrOn_ ? c::kDtrOn : c::kDtrOff; break;
        case c::kRtsAsk: answer = rtsOn_ ? c::kRtsOn : c::kRtsOff; break;
        case c::kBreakOn:
        case c::kBreakOff: SetLine(request, request == c::kBreakOn, breakOn_, "BREAK"); break;
        case c::kDtrOn:
        case c::kDtrOff: SetLine(request, request == c::kDtrOn, dtrOn_, "DTR"); break;
        case c::kRtsOn:
        case c::kRtsOff: SetLine(request, request == c::kRtsOn, rtsOn_, "RTS"); break;
        default: break;  // inbound flow control and the rest: echoed
        }
        Answer(c::kSetControl, std::span(&answer, 1));
    }

    void SetLine(std::uint8_t request, bool on, bool& line, const char* name)
    {
        line = on;
        DWORD function = request == c::kBreakOn    ? SETBREAK
                         : request == c::kBreakOff ? CLRBREAK
                         : request == c::kDtrOn    ? SETDTR
                         : request == c::kDtrOff   ? CLRDTR
                         : request == c::kRtsOn    ? SETRTS
                                                   : CLRRTS;
        if (port_.Escape(function) || refusalLogged_) return;
        refusalLogged_ = true;
        Log("SET-CONTROL %s %s: the driver has no modem lines (%s); acknowledged without effect", name,
            on ? "on" : "off", Win32ErrorText(port_.Error()).c_str());
    }

    int socket_;
    ComPort& port_;
    std::FILE* log_;
    WakePipe& wake_;
    std::unique_ptr<SerialDump> dump_;
    std::unique_ptr<LinePacer> toPort_, fromPort_;  // with --pace
    t::Decoder decoder_;
    std::mutex sendMutex_;
    std::atomic<bool> closed_{false};
    std::atomic<int> gone_{0};
    std::atomic<Clock::rep> lastFromPort_{0};
    std::atomic<std::uint8_t> lineStateMask_{0};
    std::uint8_t modemStateMask_ = 0xFF;
    bool dtrOn_ = true, rtsOn_ = true, breakOn_ = false, refusalLogged_ = false;
};

// Throws away what the port holds from an earlier client: the bytes the
// driver keeps and those the instrument has sent since.
void DiscardStaleInput(ComPort& port)
{
    port.Purge(PURGE_RXCLEAR);
    std::uint8_t buffer[512];
    port.SetReadLimit(1);
    for (int reads = 0; reads < 64; ++reads) {
        auto got = port.Read(buffer);
        if (!got || *got == 0) break;
    }
}

}  // namespace

Rfc2217Server::Rfc2217Server(std::uint16_t port, std::function<std::int32_t()> device, std::FILE* log, Options options)
    : device_(std::move(device)), log_(log), options_(options)
{
    listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int reuse = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 4) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::fprintf(log_, "tesmo-sim: cannot listen on 127.0.0.1:%u: %s\n", port, ErrnoText(errno).c_str());
        return;
    }
    port_ = ntohs(address.sin_port);
    listening_ = true;
    thread_ = std::thread([this] { Serve(); });
}

Rfc2217Server::~Rfc2217Server()
{
    stopping_ = true;
    wake_.Wake();
    if (thread_.joinable()) thread_.join();
}

void Rfc2217Server::Serve()
{
    while (!stopping_) {
        pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wake_.readFd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) <= 0) continue;
        // A wake that came after its client had gone (the reader saw the
        // removal as the client left) would keep the pipe readable for good.
        if (fds[1].revents & POLLIN) wake_.Drain();
        if (!(fds[0].revents & POLLIN)) continue;
        UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client) ServeClient(std::move(client));
    }
}

void Rfc2217Server::RefuseWhileBusy(const std::string& portName)
{
    UniqueFd extra(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!extra) return;
    Refuse(extra.get(), portName + " is in use by another client; it is served when that one has left");
    std::fprintf(log_, "%s: a second client refused: the port is in use\n", portName.c_str());
    std::fflush(log_);
}

void Rfc2217Server::ServeClient(UniqueFd client)
{
    std::int32_t device = device_();
    char name[32] = "";
    std::uint32_t length = 0;
    tesmo_port_name(device, name, sizeof name, &length);
    ComPort port(name);
    if (!port.IsOpen()) {
        std::string why = std::string(name) + " does not open: " + Win32ErrorText(port.Error());
        Refuse(client.get(), why);
        std::fprintf(log_, "client refused: %s\n", why.c_str());
        std::fflush(log_);
        return;
    }
    DiscardStaleInput(port);
    std::fprintf(log_, "%s: client connected\n", name);
    std::fflush(log_);
    ClientSession session(client.get(), port, log_, wake_, options_);
    std::atomic<bool> gone{false};
    session.Greet();
    const char* ending = "left";
    {
        PortReader reader(
            port, device, [&session](std::span<const std::uint8_t> bytes) { session.FromPort(bytes); },
            [&] {
                gone = true;
                wake_.Wake();
            });
        std::vector<std::uint8_t> buffer(4096);
        std::optional<Clock::time_point> inputEnded;
        while (!stopping_ && !gone && !session.closed()) {
            int timeout = -1;
            if (inputEnded) {
                auto now = Clock::now();
                auto quietUntil = std::max(session.lastFromPort(), *inputEnded) + kDrainQuiet;
                auto until = std::min(quietUntil, *inputEnded + kDrainLimit);
                if (now >= until) break;
                timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
            }
            pollfd fds[3] = {
                {inputEnded ? -1 : client.get(), POLLIN, 0}, {wake_.readFd(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
            if (::poll(fds, 3, timeout) <= 0) continue;
            if (fds[1].revents & POLLIN) wake_.Drain();
            if (fds[2].revents & POLLIN) RefuseWhileBusy(name);
            if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t got = ::read(client.get(), buffer.data(), buffer.size());
            if (got == 0) {
                // End of the client's input (a half-close, as nc sends after
                // its input): its answers may still be on their way.
                inputEnded = Clock::now();
                continue;
            }
            if (got < 0) {
                ending = errno == ECONNRESET ? "gone (the connection was reset)" : "gone";
                break;
            }
            if (!session.FromClient(std::span(buffer.data(), static_cast<std::size_t>(got)))) break;
        }
        if (session.closed() && session.goneErrno() != 0) ending = "gone before its answer was sent";
    }
    std::fprintf(log_, "%s: client %s\n", name, gone ? "disconnected: the instrument was removed" : ending);
    std::fflush(log_);
}

}  // namespace tesmo::sim
