// Scenario files: a bug report turned into a reproducible run. One step per
// line; blank lines and lines starting with # are skipped. Text is written
// in double quotes with the escapes \n \r \t \\ \" and \xHH.
//
//   plug INSTRUMENT                plug an instrument (InstrumentSpec.h:
//                                  command, loopback, stream and their options)
//   unplug|replug|rebalance|disable|enable [DEVICE]
//   sleep [1-5] | wake             the whole system
//   open [COMn] | close            the port (default: the last device's)
//   settings 9600 8N1              SetCommState
//   write "TEXT"                   WriteFile
//   expect "TEXT" [within MS]      read until TEXT came (default 1000 ms of
//                                  emulated time, which runs on by itself
//                                  whenever everything waits)
//   advance MS                     move the emulated clock
//   log-contains "TAG"             the event log has an entry whose tag starts so
//   expect-failure write|open      the next step of this kind must fail
//
// Every step's arguments are checked when the file is read, so a
// mistyped line stops the run before anything was plugged. Parsing is a pure
// function; running is ScenarioRunner's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tesmo::sim {

struct ScenarioStep {
    int line = 0;
    std::string source;   // the line as written, for messages
    std::string command;  // the first word
    std::string text;     // the quoted text, unescaped
    std::string word;     // the first unquoted word after the command, if any
    std::int64_t milliseconds = 1000;
};

struct ParsedScenario {
    std::vector<ScenarioStep> steps;
    std::string error;  // "line N: ..." when the file is not valid
};

ParsedScenario ParseScenario(const std::string& content);

}  // namespace tesmo::sim
