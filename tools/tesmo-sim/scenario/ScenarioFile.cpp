#include "scenario/ScenarioFile.h"

#include <charconv>
#include <map>
#include <sstream>

#include "link/InstrumentSpec.h"
#include "link/LineSettings.h"

namespace tesmo::sim {

namespace {

// What may follow each command; checked when the file is read, so that a
// typing error stops the run before anything was plugged.
enum class Argument { None, Word, Instrument, Device, SleepState, Settings, Milliseconds, StepName, Text };

const std::map<std::string, Argument> kCommands = {
    {"plug", Argument::Instrument},   {"unplug", Argument::Device},
    {"replug", Argument::Device},     {"rebalance", Argument::Device},
    {"disable", Argument::Device},    {"enable", Argument::Device},
    {"sleep", Argument::SleepState},  {"wake", Argument::None},
    {"open", Argument::Word},         {"close", Argument::None},
    {"settings", Argument::Settings}, {"write", Argument::Text},
    {"expect", Argument::Text},       {"advance", Argument::Milliseconds},
    {"log-contains", Argument::Text}, {"expect-failure", Argument::StepName},
};

std::optional<std::int64_t> Number(const std::string& text)
{
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

std::optional<char> HexByte(const std::string& digits)
{
    unsigned value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (digits.size() != 2 || error != std::errc() || end != digits.data() + 2) return std::nullopt;
    return static_cast<char>(value);
}

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
            auto byte = HexByte(line.substr(position + 1, 2));
            if (!byte) return std::nullopt;
            text += *byte;
            position += 2;
            break;
        }
        default: return std::nullopt;
        }
    }
    return std::nullopt;
}

std::vector<std::string> Words(const std::string& text)
{
    std::istringstream stream(text);
    std::vector<std::string> words;
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

// The quoted text, and for expect an optional "within N ms".
bool TakeText(const std::string& rest, ScenarioStep& step)
{
    std::size_t at = 0;
    auto text = QuotedText(rest, at);
    if (!text) return false;
    step.text = *text;
    auto tail = Words(rest.substr(at));
    if (tail.empty()) return true;
    auto limit = tail.size() == 3 && tail[0] == "within" && tail[2] == "ms" ? Number(tail[1]) : std::nullopt;
    if (step.command != "expect" || !limit) return false;
    step.milliseconds = *limit;
    return true;
}

// Whether `rest` is what this kind of argument allows; fills in the step.
bool TakeArgument(Argument kind, const std::string& rest, ScenarioStep& step)
{
    if (kind == Argument::Text) return TakeText(rest, step);
    if (kind == Argument::Instrument) {
        step.word = rest;  // an identity may hold blanks
        return rest.empty() || std::holds_alternative<InstrumentSpec>(ParseInstrumentSpec(rest));
    }
    auto words = Words(rest);
    step.word = words.empty() ? "" : words.front();
    // The one word as a number; none for no word or several (Number refuses an empty text).
    auto single = Number(words.size() == 1 ? step.word : std::string());
    switch (kind) {
    case Argument::None: return words.empty();
    case Argument::Word: return words.size() <= 1;
    case Argument::Device: return words.empty() || single;
    case Argument::SleepState: return words.empty() || (single && *single >= 1 && *single <= 5);
    case Argument::Settings: step.word = rest; return ParseLineSettings(rest).has_value();
    case Argument::Milliseconds: step.milliseconds = single.value_or(0); return single.has_value();
    case Argument::StepName: return words.size() == 1 && kCommands.count(step.word) && step.word != "expect-failure";
    default: return false;
    }
}

std::string Expected(Argument kind, const std::string& command)
{
    switch (kind) {
    case Argument::None: return "no argument";
    case Argument::Word: return "one word at most";
    case Argument::Instrument: return "an instrument: " + std::string(kInstrumentSynopsis);
    case Argument::Device: return "a device number or nothing";
    case Argument::SleepState: return "a sleep state from 1 to 5 or nothing";
    case Argument::Settings: return "settings like 9600 8N1";
    case Argument::Milliseconds: return "a number of milliseconds";
    case Argument::StepName: return "the kind of step that must fail";
    case Argument::Text:
        return std::string("\"TEXT\"") + (command == "expect" ? " [within MS ms]" : "") +
               " with the escapes \\n \\r \\t \\\\ \\\" \\xHH";
    }
    return {};
}

std::string ParseStep(const std::string& line, ScenarioStep& step)
{
    std::size_t end = line.find_first_of(" \t");
    step.command = line.substr(0, end);
    auto known = kCommands.find(step.command);
    if (known == kCommands.end()) return "unknown command \"" + step.command + "\"";
    std::size_t position = end == std::string::npos ? std::string::npos : line.find_first_not_of(" \t", end);
    std::string rest = position == std::string::npos ? "" : line.substr(position);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.pop_back();
    if (TakeArgument(known->second, rest, step)) return {};
    if (known->second == Argument::Instrument) {
        return step.command + ": " + std::get<std::string>(ParseInstrumentSpec(rest)) + " in \"" + rest + "\"";
    }
    return step.command + ": expected " + Expected(known->second, step.command) +
           (rest.empty() ? "" : ", found: " + rest);
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
