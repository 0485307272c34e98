// The scenario-file parser: which line of a file is reported and why, what
// each command takes, and the escapes of quoted text.
#include <gtest/gtest.h>

#include <string>

#include "scenario/ScenarioFile.h"

namespace tesmo::sim {
namespace {

struct Line {
    std::string source;
    std::string parsed;  // "command|word|text|milliseconds", or the error without its line number
};

// A one-step file's outcome in one string, so a table row shows it whole.
std::string ParseOne(const std::string& source)
{
    ParsedScenario scenario = ParseScenario(source + "\n");
    if (!scenario.error.empty()) return scenario.error.substr(scenario.error.find(": ") + 2);
    if (scenario.steps.size() != 1) return "steps: " + std::to_string(scenario.steps.size());
    const ScenarioStep& step = scenario.steps.front();
    return step.command + "|" + step.word + "|" + step.text + "|" + std::to_string(step.milliseconds);
}

void ExpectParses(const std::vector<Line>& table)
{
    for (const auto& row : table) EXPECT_EQ(ParseOne(row.source), row.parsed) << row.source;
}

TEST(ScenarioFile, ReportsTheLineOfTheFirstMistake)
{
    const std::vector<std::pair<std::string, std::string>> files = {
        {"# comment\n\nplug command\nfrobnicate\nwake\n", "line 4: unknown command \"frobnicate\""},
        {"plug\r\n\r\n   \r\nwrite *IDN?\r\n",
         "line 4: write: expected \"TEXT\" with the escapes \\n \\r \\t \\\\ "
         "\\\" \\xHH, found: *IDN?"},
        {"sleep 9\nsleep x\n", "line 1: sleep: expected a sleep state from 1 to 5 or nothing, found: 9"},
        {"  # indented comment\n\twake now", "line 2: wake: expected no argument, found: now"},
    };
    for (const auto& [content, error] : files) {
        ParsedScenario scenario = ParseScenario(content);
        EXPECT_EQ(scenario.error, error) << content;
        EXPECT_TRUE(scenario.steps.empty() || !scenario.error.empty());
    }
    ParsedScenario good = ParseScenario("plug\n# note\n\nopen COM3\n");
    ASSERT_EQ(good.steps.size(), 2u);
    EXPECT_EQ(good.steps[1].line, 4);
    EXPECT_EQ(good.steps[1].source, "open COM3");
}

TEST(ScenarioFile, TakesEachCommandsArguments)
{
    ExpectParses({
        {"plug loopback:512:frames", "plug|loopback:512:frames||1000"},
        {"plug a b", "plug: unknown instrument kind \"a b\" (command, loopback or stream) in \"a b\""},
        {"plug comand", "plug: unknown instrument kind \"comand\" (command, loopback or stream) in \"comand\""},
        {"plug command:latency=x", "plug: latency= takes milliseconds from 0 to 3600000 in \"command:latency=x\""},
        {"plug stream:rate=10:burst=8", "plug|stream:rate=10:burst=8||1000"},
        {"unplug", "unplug|||1000"},
        {"replug 2", "replug|2||1000"},
        {"disable two", "disable: expected a device number or nothing, found: two"},
        {"enable -1", "enable: expected a device number or nothing, found: -1"},
        {"sleep 4", "sleep|4||1000"},
        {"sleep 0", "sleep: expected a sleep state from 1 to 5 or nothing, found: 0"},
        {"close COM3", "close: expected no argument, found: COM3"},
        {"settings 19200 7E1.5", "settings|19200 7E1.5||1000"},
        {"settings 19200", "settings: expected settings like 9600 8N1, found: 19200"},
        {"advance 250", "advance|250||250"},
        {"advance", "advance: expected a number of milliseconds"},
        {"advance 10ms", "advance: expected a number of milliseconds, found: 10ms"},
        {"expect \"OK\" within 20 ms", "expect||OK|20"},
        {"expect \"OK\" within 20",
         "expect: expected \"TEXT\" [within MS ms] with the escapes \\n \\r \\t \\\\ \\\" "
         "\\xHH, found: \"OK\" within 20"},
        {"write \"x\" within 5 ms",
         "write: expected \"TEXT\" with the escapes \\n \\r \\t \\\\ \\\" \\xHH, found: "
         "\"x\" within 5 ms"},
        {"log-contains \"Rd>\"", "log-contains||Rd>|1000"},
        {"expect-failure write", "expect-failure|write||1000"},
        {"expect-failure expect-failure",
         "expect-failure: expected the kind of step that must fail, found: "
         "expect-failure"},
    });
}

TEST(ScenarioFile, ResolvesTheEscapesOfQuotedText)
{
    const std::vector<std::pair<std::string, std::string>> texts = {
        {R"("a\nb\r\tc")", "a\nb\r\tc"},
        {R"("say \"hi\" \\ ok")", "say \"hi\" \\ ok"},
        {R"("\x41\x7e\x00z")", std::string("A~\0z", 4)},
        {R"("\x4")", ""},   // one digit
        {R"("\xZZ")", ""},  // not hexadecimal
        {R"("\q")", ""},    // no such escape
        {R"("unterminated)", ""},
    };
    for (const auto& [quoted, text] : texts) {
        ParsedScenario scenario = ParseScenario("write " + quoted + "\n");
        if (text.empty()) {
            EXPECT_NE(scenario.error, "") << quoted;
        } else {
            ASSERT_EQ(scenario.steps.size(), 1u) << quoted << ": " << scenario.error;
            EXPECT_EQ(scenario.steps[0].text, text) << quoted;
        }
    }
}

}  // namespace
}  // namespace tesmo::sim
