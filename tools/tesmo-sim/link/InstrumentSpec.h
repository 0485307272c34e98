// An instrument as the commands and scenario files name it:
// KIND[:OPTION]..., e.g. "loopback:512", "command:frames:latency=5",
// "stream:rate=1000000:burst=8", "command:identity=ACME,Meter 2,SN 7,FW 1".
// Pure: the control library turns it into a tesmo_instrument
// (SimSystem.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace tesmo::sim {

inline constexpr std::string_view kInstrumentSynopsis =
    "command|loopback|stream[:512][:frames][:latency=MS][:eol=lf|crlf|cr][:answers=FILE][:rate=BYTES_PER_S]"
    "[:burst=PACKETS][:serial=TEXT][:identity=TEXT]";

inline constexpr std::string_view kInstrumentHelp =
    "INSTRUMENT is KIND[:OPTION]...; KIND: command (answers *IDN?, MEAS?, ...), loopback (returns what\n"
    "is written), stream (sends a counter). Options: 512 (high speed, 512-byte packets; 64 is full\n"
    "speed), frames (transfers wait for the bus's frames), latency=MS (command: before each answer),\n"
    "eol=lf|crlf|cr (command: how its answers end; crlf suits a terminal), answers=FILE (command: answers\n"
    "of your own, one \"COMMAND => ANSWER\" per line, # for comments),\n"
    "rate=BYTES_PER_S and burst=PACKETS (stream), serial=TEXT (the USB serial number, which keeps\n"
    "the COM name across a replug; default TSM0001, TSM0002, ... in the order plugged), identity=TEXT\n"
    "(command: the answer to *IDN?; the rest of the argument, colons included).";

// Emulated time runs in the platform's 100-nanosecond units.
inline constexpr std::int64_t kTicksPerMillisecond = 10'000;

struct InstrumentSpec {
    enum class Kind { Command, Loopback, Stream } kind = Kind::Command;
    std::uint32_t packetSize = 64;
    bool frameTiming = false;
    std::int64_t latencyMs = 0;
    std::uint64_t bytesPerSecond = 0;  // stream: 0 for as fast as asked
    std::uint32_t burstPackets = 0;    // stream: 0 for the default
    std::string identity;              // command: empty for the default
    std::string serialNumber;          // empty: the next of the session's own
    std::string lineEnd = "\n";        // command: how its answers end
    std::string answersPath;           // command: a file of answers of the user's own
    std::string answers;               // what LoadAnswers made of that file
};

// The lines "COMMAND => ANSWER" (or "COMMAND → ANSWER") of an answers
// file as the control library takes them ("COMMAND=ANSWER" lines); blank
// lines and lines starting with # are skipped. Or why the file is not one.
std::variant<std::string, std::string> AnswersFromFile(std::string_view content);

// The instrument the text describes, or why it describes none.
std::variant<InstrumentSpec, std::string> ParseInstrumentSpec(std::string_view text);

}  // namespace tesmo::sim
