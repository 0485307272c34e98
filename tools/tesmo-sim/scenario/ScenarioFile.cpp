#include "scenario/ScenarioFile.h"

#include <set>
#include <sstream>

namespace tesmo::sim {

namespace {

const std::set<std::string> kTextCommands = {"write", "expect", "log-contains"};
const std::set<std::string> kCommands = {"plug",     "unplug",   "replug", "rebalance", "disable",      "enable",
                                         "sleep",    "wake",     "open",   "close",     "settings",     "write",
                                         "expect",   "advance",  "log-contains", "expect-failure"};

// The quoted text at `position` with its escapes resolved; moves past it.
std::optional<std::string> QuotedText(const std::string& line, std::size_t& position)
{
    if (position >= line.size() || line[position] != '"') return std::nullopt;
    std::string text;
    for (++position; position < line.size(); ++position) {
        char c = line[position];
        if (c == '"') {
            ++position;
            return text;
        }
        if (c != '\\') {
            text += c;
            continue;
        }
        if (++position >= line.size()) return std::nullopt;
        switch (line[position]) {
        case 'n': text += '\n'; break;
        case 'r': text += '\r'; break;
        case 't': text += '\t'; break;
        case '\\': text += '\\'; break;
        case '"': text += '"'; break;
        case 'x': {
            if (position + 2 >= line.size()) return std::nullopt;
            text += static_cast<char>(std::stoi(line.substr(position + 1, 2), nullptr, 16));
            position += 2;
            break;
        }
        default: return std::nullopt;
        }
    }
    return std::nullopt;
}

std::string ParseStep(const std::string& line, ScenarioStep& step)
{
    std::istringstream words(line);
    words >> step.command;
    if (!kCommands.count(step.command)) return "unknown command \"" + step.command + "\"";
    std::size_t position = line.find(step.command) + step.command.size();
    position = line.find_first_not_of(" \t", position);
    std::string rest = position == std::string::npos ? "" : line.substr(position);
    if (kTextCommands.count(step.command)) {
        std::size_t at = 0;
        auto text = QuotedText(rest, at);
        if (!text) return "expected text in double quotes";
        step.text = *text;
        rest = rest.substr(at);
        std::istringstream tail(rest);
        std::string within, unit;
        if (tail >> within) {
            if (step.command != "expect" || within != "within" || !(tail >> step.milliseconds) || !(tail >> unit) ||
                unit != "ms") {
                return "expected: within N ms";
            }
        }
        return {};
    }
    step.word = rest;
    if (step.command == "advance") {
        try {
            step.milliseconds = std::stoll(rest);
        } catch (const std::exception&) {
            return "expected a number of milliseconds";
        }
    }
    return {};
}

}  // namespace

ParsedScenario ParseScenario(const std::string& content)
{
    ParsedScenario parsed;
    std::istringstream lines(content);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        ScenarioStep step;
        step.line = number;
        step.source = line.substr(first);
        std::string error = ParseStep(step.source, step);
        if (!error.empty()) {
            parsed.error = "line " + std::to_string(number) + ": " + error;
            return parsed;
        }
        parsed.steps.push_back(std::move(step));
    }
    return parsed;
}

}  // namespace tesmo::sim
