#include "term/TermSession.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "tesmo/control.h"
#include "ErrorText.h"

namespace tesmo::sim {

namespace {

constexpr char kCommandPrefix = '~';

// What a device command prints to a stream, as text for the screen.
template <typename Write>
std::string Captured(Write write)
{
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* stream = ::open_memstream(&buffer, &size);
    if (!stream) return {};
    write(stream);
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

}  // namespace

TermSession::TermSession(SimSystem& system, TermScreen& screen, std::string lineEnd, bool echo, std::FILE* dumpTo)
    : system_(system), screen_(screen), lineEnd_(std::move(lineEnd)), echo_(echo), dumpTo_(dumpTo)
{}

TermSession::~TermSession() { Detach(); }

bool TermSession::Attach(std::int32_t device)
{
    std::string name = system_.PortName(device);
    auto port = std::make_unique<ComPort>(name);
    if (!port->IsOpen()) {
        screen_.Message(name + ": cannot open the port: " + Win32ErrorText(port->Error()));
        return false;
    }
    device_ = device;
    gone_ = false;
    port_ = std::move(port);
    if (dumpTo_) dump_ = std::make_unique<SerialDump>(dumpTo_, name);
    reader_ = std::make_unique<PortReader>(
        *port_, device,
        [this](std::span<const std::uint8_t> bytes) {
            lastActivity_ = Clock::now();
            if (dump_) dump_->Show(Direction::FromPort, bytes);
            screen_.Answer(bytes);
        },
        [this] {
            gone_ = true;
            wake_.Wake();
        });
    screen_.Message(name + " (device " + std::to_string(device) + ") is open");
    return true;
}

void TermSession::Detach()
{
    if (!port_) return;
    reader_.reset();
    port_.reset();
}

void TermSession::Gone()
{
    if (!port_) return;
    std::string name = port_->name();
    Detach();
    screen_.Message(name + ": the instrument was removed and the port closed; ~replug plugs it in again");
}

void TermSession::Wake()
{
    wake_.Drain();
    if (gone_) Gone();
}

bool TermSession::Enter(const std::string& line)
{
    bool escaped = line.size() > 1 && line[0] == kCommandPrefix && line[1] == kCommandPrefix;
    if (line.empty() || line[0] != kCommandPrefix || escaped) {
        screen_.LineEntered(line, echo_);
        Send(escaped ? line.substr(1) : line);
        return true;
    }
    screen_.LineEntered(line, true);
    return Command(line.substr(1));
}

void TermSession::Send(const std::string& line)
{
    if (!port_) {
        screen_.Message("not sent: the port is closed; ~replug plugs the instrument in again");
        return;
    }
    std::string bytes = line + lineEnd_;
    lastActivity_ = Clock::now();
    std::span<const std::uint8_t> out(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    if (dump_) dump_->Show(Direction::ToPort, out);
    if (!port_->Write(out)) {
        screen_.Message(port_->name() + ": WriteFile failed: " + Win32ErrorText(port_->Error()));
    }
}

bool TermSession::Command(const std::string& command)
{
    std::string word = command.substr(0, command.find(' '));
    if (word == "quit" || word == "exit") return false;
    if (word == "help") screen_.Message(DeviceCommandHelp("~") + "  ~~TEXT              sends ~TEXT");
    else if (SimSystem::IsDeviceCommand(word)) DeviceCommand(command);
    else screen_.Message("unknown command ~" + word + "; ~help lists them");
    return true;
}

void TermSession::DeviceCommand(const std::string& command)
{
    // The old port is closed first, so that its driver's removal can finish.
    if (command.starts_with("replug")) Detach();
    DeviceCommandResult result;
    screen_.Message(Captured([&](std::FILE* out) { result = system_.RunDeviceCommand(command, out); }));
    // The port of an unplugged instrument is closed at once, as an
    // application would, so that the driver can finish the removal.
    std::uint32_t state = 0;
    if (port_ && (tesmo_device_state(device_, &state) != TESMO_OK || (state & TESMO_DEVICE_UNPLUGGED))) Gone();
    if (result.replacement != 0) Attach(result.replacement);
}

void TermSession::LetAnswersArrive() const
{
    for (;;) {
        auto quiet = Clock::now() - lastActivity_.load();
        if (quiet >= kQuietBeforeExit) return;
        std::this_thread::sleep_for(kQuietBeforeExit - quiet);
    }
}

}  // namespace tesmo::sim
