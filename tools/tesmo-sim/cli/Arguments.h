// One way to read every tesmo-sim command's arguments: a command describes
// itself once (its operands, its options with what each does, its exit
// codes), and that description both reads argv and prints the usage. An
// unknown option, a missing value or a value that does not fit is a usage
// error: the command says what was wrong and exits 2; --help (or -h)
// prints the usage to standard output and exits 0.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tesmo::sim::cli {

constexpr int kUsageError = 2;

struct Option {
    std::string_view name;   // "--port", "-v"
    std::string_view value;  // what it takes ("P"); empty for a flag
    std::string_view help;   // what it does
};

struct Usage {
    std::string_view command;   // "pty"
    std::string_view operands;  // "[INSTRUMENT]..."
    std::string_view summary;   // one line: what the command does
    std::vector<Option> options;
    std::string_view details;  // the operands, notes, and the exit codes
};

class Arguments {
public:
    bool Flag(std::string_view name) const;
    // The last value given for the option, if any.
    std::optional<std::string> Value(std::string_view name) const;
    // Every value given for a repeated option, in order.
    std::vector<std::string> Values(std::string_view name) const;
    const std::vector<std::string>& operands() const { return operands_; }

private:
    friend std::variant<Arguments, int> Read(const Usage& usage, int argc, char** argv, int first);
    std::vector<std::pair<std::string, std::string>> given_;
    std::vector<std::string> operands_;
};

// Reads argv[first..] against the usage: the arguments, or the exit code
// to end with at once (0 after --help, kUsageError after a mistake, which
// has been printed to standard error).
std::variant<Arguments, int> Read(const Usage& usage, int argc, char** argv, int first);

void PrintUsage(const Usage& usage, std::FILE* out);
// One line: "tesmo-sim COMMAND [options] OPERANDS".
std::string Synopsis(const Usage& usage);

// Prints "tesmo-sim COMMAND: MESSAGE" and where to find the usage to
// standard error; returns kUsageError.
int Mistake(const Usage& usage, const std::string& message);

// The whole text as a number within [min, max], or nothing.
std::optional<long long> Number(std::string_view text, long long min, long long max);
std::optional<double> Decimal(std::string_view text, double min, double max);

}  // namespace tesmo::sim::cli
