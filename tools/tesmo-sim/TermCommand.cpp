// tesmo-sim term [--echo] [--eol cr|lf|crlf] [INSTRUMENT]
// Boots the system, plugs the instrument (default: the command instrument)
// and opens its port: each line typed goes to it with the line end (LF by
// default), what it answers is printed as it arrives, ~ commands work the
// instrument and the system (see TermSession.h). On a terminal the lines
// are edited here (keys arrive one by one); from a pipe or a file they are
// read as they come. The end of the input, ~quit or Ctrl-C ends the session
// with the verifier's report.
#include "TermCommand.h"

#include <cstdio>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "link/Console.h"
#include "link/SimSystem.h"
#include "term/InputLines.h"
#include "term/RawTerminal.h"
#include "term/TermScreen.h"
#include "term/TermSession.h"

namespace tesmo::sim {

namespace {

int TermUsage()
{
    std::fprintf(stderr,
                 "usage: tesmo-sim term [--echo] [--eol cr|lf|crlf] [command|loopback|stream[:512][:frames]]\n");
    return 2;
}

// Until the input ends, a line ends the session or a stop signal comes;
// true unless a signal ended it.
bool RunSession(TermSession& session, InputLines& input)
{
    UniqueFd signals = OpenStopSignalFd();
    auto enter = [&session](const std::string& line) { return session.Enter(line); };
    for (;;) {
        pollfd fds[3] = {{signals.get(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}, {session.wakeFd(), POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) continue;
        if (fds[0].revents & POLLIN) return false;
        if (fds[2].revents & POLLIN) session.Wake();
        if (!(fds[1].revents & (POLLIN | POLLHUP))) continue;
        char bytes[512];
        ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
        if (got <= 0) {
            input.Finish(enter);
            return true;
        }
        if (!input.Take(std::string_view(bytes, static_cast<std::size_t>(got)), enter)) return true;
    }
}

}  // namespace

int TermCommand(int argc, char** argv)
{
    bool echo = false;
    std::string lineEnd = "\n", kind = "command";
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--echo") {
            echo = true;
        } else if (arg == "--eol" && i + 1 < argc) {
            std::string name = argv[++i];
            if (name == "cr") lineEnd = "\r";
            else if (name == "lf") lineEnd = "\n";
            else if (name == "crlf") lineEnd = "\r\n";
            else return TermUsage();
        } else if (arg.starts_with("-")) {
            return TermUsage();
        } else {
            kind = arg;
        }
    }
    auto instrument = ParseInstrument(kind);
    if (!instrument) return TermUsage();

    BlockStopSignals();
    SimSystem system(SimSystem::Clock::RealTime);
    if (!system.booted()) return 1;
    auto device = system.Plug(*instrument);
    bool ok = false;
    {
        bool onATerminal = ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO);
        RawTerminal terminal(onATerminal ? STDIN_FILENO : -1);
        bool edited = terminal.active();
        TermScreen screen(stdout, edited);
        TermSession session(system, screen, lineEnd, echo);
        ok = device && session.Attach(*device);
        if (ok) {
            screen.Message("ready: lines go to the port; ~help lists the commands, ~quit ends");
            InputLines input(screen, edited);
            if (RunSession(session, input)) session.LetAnswersArrive();
        }
        session.Detach();
        screen.Finish();
    }
    return system.Shutdown(stdout) == 0 && ok ? 0 : 1;
}

}  // namespace tesmo::sim
