// tesmo-sim term [--echo] [--eol cr|lf|crlf] [INSTRUMENT]
// Boots the system, plugs the instrument (default: the command instrument)
// and opens its port: each line typed goes to it with the line end (LF by
// default), what it answers is printed as it arrives, ~ commands work the
// instrument and the system (see TermSession.h). On a terminal the lines
// are edited here (keys arrive one by one); from a pipe or a file they are
// read as they come. The end of the input, ~quit or Ctrl-C ends the session
// with the verifier's report.
#include "Commands.h"

#include <cstdio>
#include <poll.h>
#include <string>
#include <vector>
#include <unistd.h>

#include "link/Console.h"
#include "link/SimSystem.h"
#include "term/InputLines.h"
#include "term/RawTerminal.h"
#include "term/TermScreen.h"
#include "term/TermSession.h"

namespace tesmo::sim {

namespace {

const std::string kDetails = std::string(kInstrumentHelp) +
                             "\n\nLines starting with ~ are the session's own commands:\n" + DeviceCommandHelp("~") +
                             "  ~~TEXT              sends ~TEXT\n\n" + std::string(kExitCodesOfABridge);

const cli::Usage kUsage{
    "term",
    "[INSTRUMENT]",
    "a terminal on the port: lines typed go to it, answers are printed as they come",
    {
        {"--pcap", "FILE", "writes every URB the bus sees to FILE (USBPcap: wireshark FILE, tshark -r FILE)"},
        {"--timeline", "FILE", "writes what the system does to FILE as trace events (Perfetto, chrome://tracing)"},
        {"--echo", "", "keeps each line sent on the screen"},
        {"--eol", "cr|lf|crlf", "the line end sent after each line (default lf)"},
        {"-x", "", "prints every transfer to (>) and from (<) the port on standard error, in hex and text"},
    },
    kDetails,
};

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

int Run(const cli::Arguments& arguments)
{
    bool echo = arguments.Flag("--echo");
    std::string lineEnd = "\n";
    if (auto name = arguments.Value("--eol")) {
        if (*name == "cr") lineEnd = "\r";
        else if (*name == "lf") lineEnd = "\n";
        else if (*name == "crlf") lineEnd = "\r\n";
        else return cli::Mistake(kUsage, "--eol " + *name + ": cr, lf or crlf");
    }
    if (arguments.operands().size() > 1) return cli::Mistake(kUsage, "takes one instrument");
    std::vector<std::string> kinds = arguments.operands();
    if (kinds.empty()) kinds.emplace_back("command");
    std::vector<InstrumentSpec> instruments;
    if (auto why = ParseInstruments(kinds, instruments)) return cli::Mistake(kUsage, *why);

    BlockStopSignals();
    SimSystem system(SimSystem::Clock::RealTime);
    if (!system.booted()) return 1;
    if (auto pcap = arguments.Value("--pcap"); pcap && !system.Capture(*pcap)) return 1;
    if (auto timeline = arguments.Value("--timeline"); timeline && !system.Timeline(*timeline)) return 1;
    auto device = system.Plug(instruments[0]);
    bool ok = false;
    {
        bool onATerminal = ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO);
        RawTerminal terminal(onATerminal ? STDIN_FILENO : -1);
        bool edited = terminal.active();
        TermScreen screen(stdout, edited);
        TermSession session(system, screen, lineEnd, echo, arguments.Flag("-x") ? stderr : nullptr);
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

}  // namespace

const Command& TermCommand()
{
    static const Command command{"term", kUsage, Run};
    return command;
}

}  // namespace tesmo::sim
