// The instruments as the commands and scenario files name them, and the
// answers files of a user's own instrument: each row a text and what it
// must give, or the reason it must be refused with.
#include <gtest/gtest.h>

#include <string>

#include "link/InstrumentSpec.h"

namespace tesmo::sim {
namespace {

// What a spec says, as text: "kind packet frames latency rate burst serial eol identity".
std::string Describe(const InstrumentSpec& spec)
{
    static const char* const kinds[] = {"command", "loopback", "stream"};
    std::string eol = spec.lineEnd == "\r\n" ? "crlf" : spec.lineEnd == "\r" ? "cr" : "lf";
    return std::string(kinds[static_cast<int>(spec.kind)]) + " " + std::to_string(spec.packetSize) +
           (spec.frameTiming ? " frames" : "") + " latency=" + std::to_string(spec.latencyMs) +
           " rate=" + std::to_string(spec.bytesPerSecond) + " burst=" + std::to_string(spec.burstPackets) +
           " serial=" + spec.serialNumber + " eol=" + eol + " answers=" + spec.answersPath +
           " identity=" + spec.identity;
}

std::string Parsed(const std::string& text)
{
    auto spec = ParseInstrumentSpec(text);
    if (auto* why = std::get_if<std::string>(&spec)) return "refused: " + *why;
    return Describe(std::get<InstrumentSpec>(spec));
}

TEST(InstrumentSpec, TakesEachKindsOptionsAndRefusesTheRestWithAReason)
{
    const struct {
        const char* text;
        const char* result;
    } rows[] = {
        {"command", "command 64 latency=0 rate=0 burst=0 serial= eol=lf answers= identity="},
        {"loopback:512:frames", "loopback 512 frames latency=0 rate=0 burst=0 serial= eol=lf answers= identity="},
        {"stream:rate=1000000:burst=8:serial=S-1",
         "stream 64 latency=0 rate=1000000 burst=8 serial=S-1 eol=lf answers= identity="},
        {"command:eol=crlf:answers=my.txt:latency=5",
         "command 64 latency=5 rate=0 burst=0 serial= eol=crlf answers=my.txt identity="},
        {"command:identity=ACME:Meter:2",
         "command 64 latency=0 rate=0 burst=0 serial= eol=lf answers= "
         "identity=ACME:Meter:2"},
        {"comand", "refused: unknown instrument kind \"comand\" (command, loopback or stream)"},
        {"loopback:latency=5", "refused: unknown option \"latency=5\" for loopback"},
        {"stream:rate=fast", "refused: rate= takes bytes per second from 0 (as fast as asked) to 100000000"},
        {"stream:burst=2000", "refused: burst= takes packets from 0 to 1024"},
        {"command:eol=nl", "refused: eol= takes lf, crlf or cr"},
        {"command:serial=A B", "refused: serial= takes 1 to 126 printable characters, no blank, comma or backslash"},
        {"stream:identity=X", "refused: identity= is for the command instrument"},
    };
    for (const auto& row : rows) EXPECT_EQ(Parsed(row.text), row.result) << row.text;
}

TEST(InstrumentSpec, ReadsAnAnswersFileOrSaysWhichLineIsWrong)
{
    const struct {
        const char* file;
        const char* result;
    } rows[] = {
        {"# my meter\nVOLT? => +12.50\n\nCURR? \u2192 0.25 A\r\n", "VOLT?=+12.50\nCURR?=0.25 A\n"},
        {"*IDN? => ACME,Meter => 2\n", "*IDN?=ACME,Meter => 2\n"},
        {"VOLT? +12.50\n", "refused: line 1: not \"COMMAND => ANSWER\""},
        {"# only\n => x\n", "refused: line 2: not \"COMMAND => ANSWER\""},
        {"A=B => C\n", "refused: line 1: not \"COMMAND => ANSWER\""},
        {"# nothing\n", "refused: no answers in it"},
    };
    for (const auto& row : rows) {
        auto answers = AnswersFromFile(row.file);
        std::string result = answers.index() == 0 ? std::get<0>(answers) : "refused: " + std::get<1>(answers);
        EXPECT_EQ(result, row.result) << row.file;
    }
}

}  // namespace
}  // namespace tesmo::sim
