#include "link/PtyBridge.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "link/PtyTermios.h"
#include "ErrorText.h"

namespace tesmo::sim {

PtyBridge::PtyBridge(std::int32_t device, const std::string& portName, const PtyOptions& options, std::FILE* log)
    : device_(device), log_(log), port_(portName), linkPath_(options.linkPath)
{
    if (options.dump) dump_ = std::make_unique<SerialDump>(log_, portName);
    if (options.pace) {
        toPort_ = std::make_unique<LinePacer>();
        fromPort_ = std::make_unique<LinePacer>();
    }
    if (!port_.IsOpen()) {
        std::fprintf(log_, "%s: cannot open the port: %s\n", portName.c_str(), Win32ErrorText(port_.Error()).c_str());
        return;
    }
    if (!OpenPty(options.access)) return;
    auto settings = port_.Apply(applied_);
    if (settings) applied_ = *settings;
    MakePtyRaw(master_.get(), applied_);
    if (toPort_) {
        toPort_->SetLine(applied_);
        fromPort_->SetLine(applied_);
    }
    reader_ = std::make_unique<PortReader>(
        port_, device_,
        [this](std::span<const std::uint8_t> bytes) {
            if (dump_) dump_->Show(Direction::FromPort, bytes);
            LinePacer::Deliver(fromPort_.get(), bytes, [this](std::span<const std::uint8_t> piece) {
                WriteAll(master_.get(), piece, stopping_);
            });
        },
        [this] {
            hungUp_ = true;
            wake_.Wake();
        });
    pump_ = std::thread([this] { Pump(); });
    ok_ = true;
}

PtyBridge::~PtyBridge()
{
    stopping_ = true;
    wake_.Wake();
    if (pump_.joinable()) pump_.join();
    reader_.reset();
    Close();
}

bool PtyBridge::OpenPty(const PtyAccess& access)
{
    master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!master_ || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) {
        std::fprintf(log_, "cannot create a pseudo-terminal: %s\n", ErrnoText(errno).c_str());
        return false;
    }
    char name[128];
    ::ptsname_r(master_.get(), name, sizeof name);
    ptyPath_ = name;
    clientSide_.Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if ((access.group && ::chown(name, static_cast<uid_t>(-1), *access.group) != 0) ||
        (access.mode && ::chmod(name, *access.mode) != 0)) {
        std::fprintf(log_, "cannot give %s the mode or group asked for: %s\n", name, ErrnoText(errno).c_str());
        return false;
    }
    if (!linkPath_.empty()) {
        ::unlink(linkPath_.c_str());
        if (::symlink(name, linkPath_.c_str()) != 0 ||
            (access.group && ::lchown(linkPath_.c_str(), static_cast<uid_t>(-1), *access.group) != 0)) {
            std::fprintf(log_, "cannot make the link %s: %s\n", linkPath_.c_str(), ErrnoText(errno).c_str());
            linkPath_.clear();
        }
    }
    return true;
}

void PtyBridge::SyncSettings()
{
    auto wanted = ReadPtySettings(master_.get());
    if (!wanted || *wanted == applied_) return;
    auto now = port_.Apply(*wanted);
    std::fprintf(log_, "%s: termios %s -> SetCommState %s; GetCommState: %s\n", port_.name().c_str(),
                 wanted->Text().c_str(), now ? "done" : "failed", now ? now->Text().c_str() : "-");
    std::fflush(log_);
    // What the client asked for counts as applied also when refused, so a
    // refusal is reported once, not at every check.
    applied_ = *wanted;
    if (toPort_ && now) {
        toPort_->SetLine(*now);
        fromPort_->SetLine(*now);
    }
}

void PtyBridge::Pump()
{
    std::vector<std::uint8_t> buffer(4096);
    while (!stopping_ && !hungUp_) {
        pollfd fds[2] = {{master_.get(), POLLIN, 0}, {wake_.readFd(), POLLIN, 0}};
        int ready = ::poll(fds, 2, kSettingsCheck);
        SyncSettings();
        if (ready <= 0 || !(fds[0].revents & POLLIN)) continue;
        ssize_t got = ::read(master_.get(), buffer.data(), buffer.size());
        if (got <= 0) continue;
        std::span<const std::uint8_t> bytes(buffer.data(), static_cast<std::size_t>(got));
        if (dump_) dump_->Show(Direction::ToPort, bytes);
        LinePacer::Deliver(toPort_.get(), bytes, [this](std::span<const std::uint8_t> piece) {
            if (port_.Write(piece)) return;
            std::fprintf(log_, "%s: WriteFile failed: %s\n", port_.name().c_str(),
                         Win32ErrorText(port_.Error()).c_str());
            std::fflush(log_);
        });
    }
    if (hungUp_) {
        std::fprintf(log_, "%s: the instrument was removed; %s hung up\n", port_.name().c_str(), ptyPath_.c_str());
        std::fflush(log_);
        reader_->Stop();
        Close();
    }
}

void PtyBridge::Close()
{
    // Both sides of the pty closed: the client reads end of file and sees a hang-up.
    clientSide_.Reset();
    master_.Reset();
    if (!linkPath_.empty()) ::unlink(linkPath_.c_str());
    port_.Close();
}

}  // namespace tesmo::sim
