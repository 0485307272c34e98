#include "cli/Arguments.h"

#include <charconv>
#include <cstdlib>

namespace tesmo::sim::cli {

bool Arguments::Flag(std::string_view name) const
{
    for (const auto& [option, value] : given_) {
        if (option == name) return true;
    }
    return false;
}

std::optional<std::string> Arguments::Value(std::string_view name) const
{
    std::optional<std::string> last;
    for (const auto& [option, value] : given_) {
        if (option == name) last = value;
    }
    return last;
}

std::vector<std::string> Arguments::Values(std::string_view name) const
{
    std::vector<std::string> values;
    for (const auto& [option, value] : given_) {
        if (option == name) values.push_back(value);
    }
    return values;
}

namespace {

const Option* Find(const Usage& usage, std::string_view name)
{
    for (const Option& option : usage.options) {
        if (option.name == name) return &option;
    }
    return nullptr;
}

}  // namespace

std::variant<Arguments, int> Read(const Usage& usage, int argc, char** argv, int first)
{
    Arguments arguments;
    bool optionsEnd = false;
    for (int i = first; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            arguments.operands_.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            PrintUsage(usage, stdout);
            return 0;
        }
        // --name=value as well as --name value.
        std::string_view name = arg, inlineValue;
        bool hasInlineValue = false;
        if (auto equals = arg.find('='); arg.starts_with("--") && equals != std::string_view::npos) {
            name = arg.substr(0, equals);
            inlineValue = arg.substr(equals + 1);
            hasInlineValue = true;
        }
        const Option* option = Find(usage, name);
        if (!option) return Mistake(usage, "unknown option " + std::string(name));
        if (option->value.empty()) {
            if (hasInlineValue) return Mistake(usage, std::string(name) + " takes no value");
            arguments.given_.emplace_back(name, "");
            continue;
        }
        if (!hasInlineValue) {
            if (i + 1 >= argc)
                return Mistake(usage, std::string(name) + " needs a value: " + std::string(option->value));
            inlineValue = argv[++i];
        }
        arguments.given_.emplace_back(name, inlineValue);
    }
    return arguments;
}

std::string Synopsis(const Usage& usage)
{
    std::string line = "tesmo-sim " + std::string(usage.command);
    if (!usage.options.empty()) line += " [options]";
    if (!usage.operands.empty()) line += " " + std::string(usage.operands);
    return line;
}

void PrintUsage(const Usage& usage, std::FILE* out)
{
    std::fprintf(out, "usage: %s\n%.*s\n", Synopsis(usage).c_str(), static_cast<int>(usage.summary.size()),
                 usage.summary.data());
    if (!usage.options.empty()) std::fprintf(out, "\noptions:\n");
    for (const Option& option : usage.options) {
        std::string head = std::string(option.name);
        if (!option.value.empty()) head += " " + std::string(option.value);
        std::fprintf(out, "  %-22s %.*s\n", head.c_str(), static_cast<int>(option.help.size()), option.help.data());
    }
    std::fprintf(out, "  %-22s %s\n", "-h, --help", "prints this and exits 0");
    if (!usage.details.empty()) {
        std::fprintf(out, "\n%.*s\n", static_cast<int>(usage.details.size()), usage.details.data());
    }
}

int Mistake(const Usage& usage, const std::string& message)
{
    std::fprintf(stderr, "tesmo-sim %.*s: %s\n%s\n(tesmo-sim %.*s --help says more)\n",
                 static_cast<int>(usage.command.size()), usage.command.data(), message.c_str(),
                 ("usage: " + Synopsis(usage)).c_str(), static_cast<int>(usage.command.size()), usage.command.data());
    return kUsageError;
}

std::optional<long long> Number(std::string_view text, long long min, long long max)
{
    long long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (value < min || value > max) return std::nullopt;
    return value;
}

std::optional<double> Decimal(std::string_view text, double min, double max)
{
    std::string copy(text);
    char* end = nullptr;
    double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !(value >= min && value <= max)) return std::nullopt;
    return value;
}

}  // namespace tesmo::sim::cli
