#include "link/Rfc2217Server.h"

#include <arpa/inet.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "link/ComPort.h"
#include "link/PortReader.h"
#include "link/Telnet.h"
#include "tesmo/control.h"

namespace tesmo::sim {

namespace {

namespace t = telnet;

// COM-PORT-OPTION commands from the client; the server answers with +100.
enum : std::uint8_t {
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kNotifyLineState = 6,
    kFlowControlSuspend = 8,
    kFlowControlResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
    kServerOffset = 100,
};
constexpr std::uint8_t kLineStateDataReady = 0x01;
const char kParities[] = "?NOEMS";  // the option's parity codes 1..5

// One client's connection to the port.
class ClientSession {
public:
    ClientSession(int socket, ComPort& port, std::FILE* log) : socket_(socket), port_(port), log_(log) {}

    void Send(const t::Bytes& bytes)
    {
        std::lock_guard lock(sendMutex_);
        if (!WriteAll(socket_, bytes, closed_)) closed_ = true;
    }

    void FromPort(std::span<const std::uint8_t> bytes)
    {
        if (lineStateMask_ & kLineStateDataReady) {
            std::uint8_t notify[] = {kNotifyLineState + kServerOffset, kLineStateDataReady};
            Send(t::Subnegotiate(t::kComPort, notify));
        }
        Send(t::EscapeData(bytes));
    }

    // False when the client has gone.
    bool FromClient(std::span<const std::uint8_t> bytes)
    {
        for (auto& event : decoder_.Feed(bytes)) {
            if (auto* data = std::get_if<t::Data>(&event)) {
                if (!port_.Write(data->bytes)) Log("WriteFile failed with error %u", port_.Error());
            } else if (auto* negotiation = std::get_if<t::Negotiation>(&event)) {
                Negotiate(*negotiation);
            } else if (auto* sub = std::get_if<t::Subnegotiation>(&event)) {
                if (sub->option == t::kComPort && !sub->payload.empty()) ComPortCommand(sub->payload);
            }
        }
        return !closed_;
    }

    bool closed() const { return closed_; }

private:
    template <typename... Args>
    void Log(const char* format, Args... args)
    {
        std::fprintf(log_, "%s: ", port_.name().c_str());
        std::fprintf(log_, format, args...);
        std::fprintf(log_, "\n");
        std::fflush(log_);
    }

    void Negotiate(const t::Negotiation& request)
    {
        bool known = request.option == t::kBinary || request.option == t::kSuppressGoAhead ||
                     request.option == t::kComPort;
        if (request.verb == t::kDo) Send(t::Negotiate(known ? t::kWill : t::kWont, request.option));
        if (request.verb == t::kWill) Send(t::Negotiate(known ? t::kDo : t::kDont, request.option));
    }

    void Answer(std::uint8_t command, std::span<const std::uint8_t> value)
    {
        t::Bytes payload{static_cast<std::uint8_t>(command + kServerOffset)};
        payload.insert(payload.end(), value.begin(), value.end());
        Send(t::Subnegotiate(t::kComPort, payload));
    }

    void ComPortCommand(const t::Bytes& payload)
    {
        std::uint8_t command = payload[0];
        std::span<const std::uint8_t> value(payload.data() + 1, payload.size() - 1);
        switch (command) {
        case kSetBaudRate:
        case kSetDataSize:
        case kSetParity:
        case kSetStopSize: return LineSetting(command, value);
        case kSetControl: return Control(value.empty() ? 0 : value[0]);
        case kPurgeData: {
            std::uint8_t which = value.empty() ? 0 : value[0];
            DWORD flags = (which == 1 || which == 3 ? PURGE_RXCLEAR : 0) | (which == 2 || which == 3 ? PURGE_TXCLEAR : 0);
            bool ok = port_.Purge(flags);
            Log("PURGE-DATA %u -> PurgeComm %s", which, ok ? "done" : "failed");
            return Answer(command, value);
        }
        case kSetLineStateMask: lineStateMask_ = value.empty() ? 0 : value[0]; return Answer(command, value);
        case kSetModemStateMask:
        case kFlowControlSuspend:
        case kFlowControlResume: return Answer(command, value);
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
        // Zero asks for the current value.
        if (asked != 0) {
            LineSettings wanted = *settings;
            if (command == kSetBaudRate) wanted.baudRate = asked;
            if (command == kSetDataSize) wanted.dataBits = static_cast<std::uint8_t>(asked);
            if (command == kSetParity && asked < 6) wanted.parity = kParities[asked];
            if (command == kSetStopSize) wanted.stopBits = asked == 3 ? 15 : static_cast<std::uint8_t>(asked);
            if (auto now = port_.Apply(wanted)) settings = now;
            Log("%s %u -> SetCommState; GetCommState: %s", names[command], asked, settings->Text().c_str());
        }
        if (command == kSetBaudRate) {
            std::uint32_t baud = settings->baudRate;
            std::uint8_t bytes[] = {std::uint8_t(baud >> 24), std::uint8_t(baud >> 16), std::uint8_t(baud >> 8),
                                    std::uint8_t(baud)};
            return Answer(command, bytes);
        }
        std::uint8_t answer = command == kSetDataSize ? settings->dataBits
                              : command == kSetParity
                                  ? static_cast<std::uint8_t>(std::string_view(kParities).find(settings->parity))
                                  : (settings->stopBits == 15 ? 3 : settings->stopBits);
        Answer(command, std::span(&answer, 1));
    }

    void Control(std::uint8_t request)
    {
        // 8/9 DTR on/off, 11/12 RTS on/off; 7 and 10 ask for their state.
        DWORD function = request == 8 ? SETDTR : request == 9 ? CLRDTR : request == 11 ? SETRTS
                                                                      : request == 12 ? CLRRTS : 0;
        std::uint8_t answer = request;
        if (request == 0) answer = 1;  // flow control: none
        if (request == 7 || request == 10) answer = request + 1;
        if (function != 0 && !port_.Escape(function)) {
            answer = request <= 10 ? 8 : 11;  // not changed: the line stays on
            Log("SET-CONTROL %u: refused by the driver (error %u), the line stays on", request, port_.Error());
        }
        Answer(kSetControl, std::span(&answer, 1));
    }

    int socket_;
    ComPort& port_;
    std::FILE* log_;
    t::Decoder decoder_;
    std::mutex sendMutex_;
    std::atomic<bool> closed_{false};
    std::atomic<std::uint8_t> lineStateMask_{0};
};

}  // namespace

Rfc2217Server::Rfc2217Server(std::uint16_t port, std::function<std::int32_t()> device, std::FILE* log)
    : device_(std::move(device)), log_(log)
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
        std::fprintf(log_, "cannot listen on 127.0.0.1:%u\n", port);
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
        if (::poll(fds, 2, -1) <= 0 || !(fds[0].revents & POLLIN)) continue;
        UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client) ServeClient(std::move(client));
    }
}

void Rfc2217Server::ServeClient(UniqueFd client)
{
    std::int32_t device = device_();
    char name[32] = "";
    std::uint32_t length = 0;
    tesmo_port_name(device, name, sizeof name, &length);
    ComPort port(name);
    if (!port.IsOpen()) {
        std::fprintf(log_, "client refused: %s does not open (error %u)\n", name, port.Error());
        std::fflush(log_);
        return;
    }
    std::fprintf(log_, "%s: client connected\n", name);
    std::fflush(log_);
    ClientSession session(client.get(), port, log_);
    std::atomic<bool> gone{false};
    for (auto option : {t::kBinary, t::kSuppressGoAhead}) session.Send(t::Negotiate(t::kWill, option));
    session.Send(t::Negotiate(t::kDo, t::kComPort));
    {
        PortReader reader(
            port, device, [&session](std::span<const std::uint8_t> bytes) { session.FromPort(bytes); },
            [&] {
                gone = true;
                wake_.Wake();
            });
        std::vector<std::uint8_t> buffer(4096);
        while (!stopping_ && !gone && !session.closed()) {
            pollfd fds[2] = {{client.get(), POLLIN, 0}, {wake_.readFd(), POLLIN, 0}};
            if (::poll(fds, 2, -1) <= 0) continue;
            if (fds[1].revents & POLLIN) wake_.Drain();
            if (!(fds[0].revents & (POLLIN | POLLHUP))) continue;
            ssize_t got = ::read(client.get(), buffer.data(), buffer.size());
            if (got <= 0 || !session.FromClient(std::span(buffer.data(), static_cast<std::size_t>(got)))) break;
        }
    }
    std::fprintf(log_, "%s: client %s\n", name, gone ? "disconnected: the instrument was removed" : "left");
    std::fflush(log_);
}

}  // namespace tesmo::sim
