#include "Explore.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "Program.h"
#include "Scenario.h"
#include "process/ChildRun.h"

namespace tesmo::explore {

namespace {

using Clock = std::chrono::steady_clock;

struct ChildResult {
    bool failed = false;
    std::vector<std::string> complaints;
    std::vector<std::string> traceTail;
    std::vector<std::string> stderrTail;
    std::uint64_t requests = 0;
    std::uint64_t points = 0;
    std::uint64_t traceDigest = 0;
    std::uint64_t resultDigest = 0;
    bool raceDetector = false;
    std::uint64_t raceChecked = 0;
    std::uint64_t raceWatched = 0;
    std::map<std::string, std::uint64_t> markedPlaces;  // "file:line: why" -> reads
};

std::string OneLine(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    for (char& c : text) {
        if (c == '\n') c = '|';
    }
    return text;
}

std::vector<std::string> TailOfFile(const std::string& path, std::size_t lines)
{
    std::ifstream in(path);
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);) all.push_back(line);
    if (all.size() > lines) all.erase(all.begin(), all.end() - static_cast<long>(lines));
    return all;
}

// How a replay's child differs from the first run's: its heap is laid out
// otherwise, so that a decision that depends on where something was
// allocated shows as a difference.
enum class Heap { AsForked, Shifted };

// The child: runs the scenario and writes its outcome, one fact per line.
[[noreturn]] void RunChild(const Program& program, const Schedule& schedule, Heap heap, int out,
                           const std::string& stderrPath, const std::string& capturePath)
{
    if (heap == Heap::Shifted) {
        // Kept to the end of the process: blocks of odd sizes move every
        // later allocation.
        static std::vector<std::unique_ptr<char[]>> shift;
        for (std::size_t size : {24, 200, 4000, 40000, 72}) shift.push_back(std::make_unique<char[]>(size));
    }
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, STDIN_FILENO);
    // What the library or the runtime says on the way down goes to a file
    // the parent shows with the failure.
    int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err >= 0 ? err : devnull, STDOUT_FILENO);
    dup2(err >= 0 ? err : devnull, STDERR_FILENO);
    // Unbuffered, so that what is said just before an abort is not lost with it.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    Outcome outcome = RunScenario(program, schedule, capturePath);
    std::ostringstream text;
    text << "requests " << outcome.requests << "\n";
    text << "points " << outcome.schedulePoints << "\n";
    text << "digest " << outcome.traceDigest << "\n";
    text << "results " << outcome.resultDigest << "\n";
    if (outcome.raceDetector) text << "race " << outcome.raceChecked << " " << outcome.raceWatched << "\n";
    for (const auto& [place, reads] : outcome.markedPlaces) text << "marked " << reads << " " << OneLine(place) << "\n";
    for (const auto& complaint : outcome.complaints) text << "complaint " << OneLine(complaint) << "\n";
    for (const auto& line : outcome.traceTail) text << "trace " << OneLine(line) << "\n";
    text << "end\n";
    process::WriteAllTo(out, text.str());
    _exit(0);
}

// "C W": the accesses the race detector checked and watched.
void ReadRaceFigures(const std::string& text, ChildResult& result)
{
    std::istringstream fields(text);
    fields >> result.raceChecked >> result.raceWatched;
    result.raceDetector = true;
}

// "R place: why": a marked place and how often it was read.
void ReadMarkedPlace(const std::string& text, ChildResult& result)
{
    std::size_t space = text.find(' ');
    if (space != std::string::npos) result.markedPlaces[text.substr(space + 1)] += std::stoull(text.substr(0, space));
}

ChildResult RunInChild(const Program& program, const Schedule& schedule, double hangSeconds, Heap heap = Heap::AsForked,
                       const std::string& capturePath = {})
{
    ChildResult result;
    char stderrPath[] = "/tmp/tesmo-explore-XXXXXX";
    int stderrFile = mkstemp(stderrPath);
    if (stderrFile >= 0) close(stderrFile);
    auto hangLimit = std::chrono::milliseconds(static_cast<long>(hangSeconds * 1000));
    process::ChildRun run = process::RunInChildProcess(
        [&](int fd) -> int { RunChild(program, schedule, heap, fd, stderrPath, capturePath); }, hangLimit,
        process::ChildExit::Immediately);
    if (!run.started) {
        result.failed = true;
        result.complaints.push_back(run.output);
        return result;
    }
    const std::string& text = run.output;
    bool hung = run.hung;

    std::istringstream lines(text);
    bool ended = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("requests ", 0) == 0) result.requests = std::stoull(line.substr(9));
        else if (line.rfind("points ", 0) == 0) result.points = std::stoull(line.substr(7));
        else if (line.rfind("digest ", 0) == 0) result.traceDigest = std::stoull(line.substr(7));
        else if (line.rfind("results ", 0) == 0) result.resultDigest = std::stoull(line.substr(8));
        else if (line.rfind("race ", 0) == 0) ReadRaceFigures(line.substr(5), result);
        else if (line.rfind("marked ", 0) == 0) ReadMarkedPlace(line.substr(7), result);
        else if (line.rfind("complaint ", 0) == 0) result.complaints.push_back(line.substr(10));
        else if (line.rfind("trace ", 0) == 0) result.traceTail.push_back(line.substr(6));
        else if (line == "end") ended = true;
    }
    if (hung) {
        result.complaints.push_back("the scenario hung (no end after " + std::to_string(int(hangSeconds)) + " s)");
    } else if (run.signal != 0) {
        result.complaints.push_back(std::string("the process died: ") + strsignal(run.signal));
    } else if (!ended) {
        result.complaints.push_back("the process ended without a verdict");
    }
    result.failed = !result.complaints.empty();
    if (result.failed) result.stderrTail = TailOfFile(stderrPath, 150);
    if (!getenv("TESMO_EXPLORE_KEEP")) unlink(stderrPath);
    return result;
}

// Removes steps while the program still fails: control steps one by one, then
// each application's steps by halves and singly. Bounded in time. A
// controlled run is judged once (the same seed, the same interleaving); a
// free-running one twice, and a step whose removal makes the failure rarer
// stays.
// `fails` judges a candidate once (with --check-replay, a run and its replay).
Program Shrink(Program program, bool controlled, const std::function<bool(const Program&)>& fails, double budgetSeconds)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(budgetSeconds * 1000));
    auto stillFails = [&](const Program& candidate) {
        for (int attempt = 0; attempt < (controlled ? 1 : 2); ++attempt) {
            if (fails(candidate)) return true;
        }
        return false;
    };
    for (std::size_t i = 0; i < program.control.size() && Clock::now() < deadline;) {
        Program candidate = program;
        candidate.control.erase(candidate.control.begin() + static_cast<long>(i));
        if (stillFails(candidate)) program = std::move(candidate);
        else ++i;
    }
    using Lists = std::vector<std::vector<AppStep>> Program::*;
    for (Lists lists : {&Program::apps, &Program::companions}) {
        for (std::size_t a = 0; a < (program.*lists).size(); ++a) {
            for (std::size_t chunk = std::max<std::size_t>(1, (program.*lists)[a].size() / 2); chunk >= 1; chunk /= 2) {
                for (std::size_t i = 0; i < (program.*lists)[a].size() && Clock::now() < deadline;) {
                    Program candidate = program;
                    auto& steps = (candidate.*lists)[a];
                    steps.erase(steps.begin() + static_cast<long>(i),
                                steps.begin() + static_cast<long>(std::min(i + chunk, steps.size())));
                    if (stillFails(candidate)) program = std::move(candidate);
                    else i += chunk;
                }
                if (chunk == 1) break;
            }
        }
    }
    return program;
}

Schedule ScheduleOf(const ExploreOptions& options) { return Schedule{options.controlled, options.depth}; }

std::string Hex(std::uint64_t value)
{
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// Runs the program; with --check-replay under a controlled schedule, once
// more with the heap laid out otherwise, and a replay that differs in its
// scheduling points, its calls' results or its trace is a failure.
ChildResult RunJudged(const Program& program, const Schedule& schedule, const ExploreOptions& options,
                      bool* compared = nullptr)
{
    std::string capture =
        options.pcapDir.empty() ? std::string() : options.pcapDir + "/seed-" + std::to_string(program.seed) + ".pcap";
    ChildResult first = RunInChild(program, schedule, options.hangSeconds, Heap::AsForked, capture);
    if (compared) *compared = false;
    if (!options.checkReplay || !schedule.controlled || first.failed) return first;
    ChildResult again = RunInChild(program, schedule, options.hangSeconds, Heap::Shifted);
    if (compared) *compared = true;
    if (again.failed) {
        first.failed = true;
        first.complaints.push_back("the replay failed where the first run passed:");
        for (const auto& complaint : again.complaints) first.complaints.push_back("  " + complaint);
        first.stderrTail = again.stderrTail;
        first.traceTail = again.traceTail;
        return first;
    }
    std::vector<std::string> differences;
    if (again.points != first.points) {
        differences.push_back("scheduling points " + std::to_string(first.points) + " then " +
                              std::to_string(again.points));
    }
    if (again.resultDigest != first.resultDigest) {
        differences.push_back("results " + Hex(first.resultDigest) + " then " + Hex(again.resultDigest));
    }
    if (again.traceDigest != first.traceDigest) {
        differences.push_back("trace " + Hex(first.traceDigest) + " then " + Hex(again.traceDigest));
    }
    if (again.requests != first.requests) {
        differences.push_back("requests " + std::to_string(first.requests) + " then " + std::to_string(again.requests));
    }
    if (!differences.empty()) {
        first.failed = true;
        std::string text = "the replay of the same seed differed:";
        for (const auto& difference : differences) text += " " + difference + ";";
        text.pop_back();
        first.complaints.push_back(text);
        first.traceTail = again.traceTail;
    }
    return first;
}

std::string ReplayFlags(const ExploreOptions& options)
{
    std::string flags = options.controlled ? "--depth " + std::to_string(options.depth) : "--free";
    if (options.checkReplay) flags += " --check-replay";
    for (const auto& name : options.without) flags += " --without " + name;
    return flags;
}

void Report(const Program& program, const ChildResult& result, const ExploreOptions& options, bool shrink,
            double afterSeconds)
{
    std::printf("\nexplore: FAILED seed %llu after %.1f s (replay: tesmo-sim explore --replay %llu --devices %d %s)\n",
                static_cast<unsigned long long>(program.seed), afterSeconds,
                static_cast<unsigned long long>(program.seed), options.devices, ReplayFlags(options).c_str());
    for (const auto& complaint : result.complaints) std::printf("  %s\n", complaint.c_str());
    if (!result.stderrTail.empty()) {
        std::printf("  the process said:\n");
        for (const auto& line : result.stderrTail) std::printf("    %s\n", line.c_str());
    }
    if (!result.traceTail.empty()) {
        std::printf("  the driver's last trace lines:\n");
        for (const auto& line : result.traceTail) std::printf("    %s\n", line.c_str());
    }
    std::printf("  the program:\n%s", Describe(program).c_str());
    if (shrink) {
        Schedule schedule = ScheduleOf(options);
        ExploreOptions uncaptured = options;  // the candidates' runs write no capture
        uncaptured.pcapDir.clear();
        Program shrunk = Shrink(
            program, schedule.controlled,
            [&](const Program& candidate) { return RunJudged(candidate, schedule, uncaptured).failed; }, 30);
        std::printf("  shrunk to %zu of %zu steps:\n%s", shrunk.StepCount(), program.StepCount(),
                    Describe(shrunk).c_str());
        // Its USB capture, for Wireshark: one more run of the shrunk program.
        std::string folder = options.pcapDir.empty() ? std::string(P_tmpdir) : options.pcapDir;
        std::string capture = folder + "/tesmo-explore-seed-" + std::to_string(program.seed) + "-shrunk.pcap";
        RunInChild(shrunk, schedule, options.hangSeconds, Heap::AsForked, capture);
        std::printf("  its USB capture: %s\n", capture.c_str());
    }
    std::fflush(stdout);
}

struct Totals {
    std::uint64_t scenarios = 0;
    std::uint64_t requests = 0;
    std::uint64_t points = 0;
    std::uint64_t failures = 0;
    std::uint64_t replays = 0;  // scenarios run twice and compared
    bool raceDetector = false;
    std::uint64_t raceChecked = 0;
    std::uint64_t raceWatched = 0;
    std::map<std::string, std::uint64_t> markedPlaces;

    void Add(const ChildResult& result, bool compared)
    {
        ++scenarios;
        if (compared) ++replays;
        requests += result.requests;
        points += result.points;
        if (result.failed) ++failures;
        raceDetector = raceDetector || result.raceDetector;
        raceChecked += result.raceChecked;
        raceWatched += result.raceWatched;
        for (const auto& [place, reads] : result.markedPlaces) markedPlaces[place] += reads;
    }
};

// With an instrumented image: what the race detector checked and watched,
// and the places that read without a guard on purpose, so that "no
// findings" can be weighed.
void PrintRaceDetector(const Totals& totals)
{
    if (!totals.raceDetector) return;
    std::printf(
        "explore: race detector: %llu accesses to the driver's memory checked, %llu watched; %zu places "
        "read without their guard on purpose:\n",
        static_cast<unsigned long long>(totals.raceChecked), static_cast<unsigned long long>(totals.raceWatched),
        totals.markedPlaces.size());
    for (const auto& [place, reads] : totals.markedPlaces) {
        std::printf("  %s (%llu reads)\n", place.c_str(), static_cast<unsigned long long>(reads));
    }
    std::fflush(stdout);
}

void PrintTotals(const Totals& totals, Clock::time_point start, const char* what)
{
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::string replays =
        totals.replays ? ", " + std::to_string(totals.replays) + " replayed and compared" : std::string();
    std::printf(
        "explore: %s %llu scenarios%s, %llu requests, %llu interleaving points, %llu failures in %.1f s "
        "(%.1f scenarios/s)\n",
        what, static_cast<unsigned long long>(totals.scenarios), replays.c_str(),
        static_cast<unsigned long long>(totals.requests), static_cast<unsigned long long>(totals.points),
        static_cast<unsigned long long>(totals.failures), seconds,
        seconds > 0 ? static_cast<double>(totals.scenarios) / seconds : 0.0);
    std::fflush(stdout);
}

int RunSeedsFile(const ExploreOptions& options)
{
    std::ifstream in(options.seedsFile);
    if (!in) {
        std::fprintf(stderr, "tesmo-sim: cannot read %s\n", options.seedsFile.c_str());
        return 2;
    }
    Totals totals;
    auto start = Clock::now();
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line.substr(0, line.find('#')));
        std::uint64_t seed = 0;
        if (!(fields >> seed)) continue;
        Limits limits;
        fields >> limits.maxDevices;
        Schedule schedule = ScheduleOf(options);
        if (std::string mode; fields >> mode) schedule.controlled = mode != "free";
        for (std::string name; fields >> name;) limits.without.push_back(name);
        Program program = Generate(seed, limits);
        bool compared = false;
        ChildResult result = RunJudged(program, schedule, options, &compared);
        totals.Add(result, compared);
        if (result.failed) {
            Report(program, result, options, false, std::chrono::duration<double>(Clock::now() - start).count());
        }
    }
    PrintTotals(totals, start, "regression seeds:");
    PrintRaceDetector(totals);
    return totals.failures == 0 ? 0 : 1;
}

}  // namespace

int Explore(const ExploreOptions& options)
{
    if (!options.seedsFile.empty()) return RunSeedsFile(options);
    Limits limits;
    limits.maxDevices = options.devices;
    limits.without = options.without;
    if (options.replay) {
        Program program = Generate(*options.replay, limits);
        std::printf("%s", Describe(program).c_str());
        ChildResult result = RunJudged(program, ScheduleOf(options), options);
        if (!result.failed) {
            std::printf(
                "explore: seed %llu passed (%llu requests, %llu interleaving points, trace digest %016llx)\n",
                static_cast<unsigned long long>(*options.replay), static_cast<unsigned long long>(result.requests),
                static_cast<unsigned long long>(result.points), static_cast<unsigned long long>(result.traceDigest));
            return 0;
        }
        Report(program, result, options, true, 0);
        return 1;
    }

    Totals totals;
    auto start = Clock::now();
    auto lastProgress = start;
    std::uint64_t runs = options.runs.value_or(options.seconds ? UINT64_MAX : 100);
    for (std::uint64_t i = 0; i < runs; ++i) {
        if (options.seconds && std::chrono::duration<double>(Clock::now() - start).count() >= *options.seconds) break;
        Program program = Generate(options.seed + i, limits);
        bool compared = false;
        ChildResult result = RunJudged(program, ScheduleOf(options), options, &compared);
        totals.Add(result, compared);
        if (result.failed) {
            // The first gets the whole report with a shrunk program.
            Report(program, result, options, totals.failures == 1,
                   std::chrono::duration<double>(Clock::now() - start).count());
        }
        if (Clock::now() - lastProgress >= std::chrono::seconds(5)) {
            lastProgress = Clock::now();
            PrintTotals(totals, start, "so far");
        }
    }
    PrintTotals(totals, start, "done:");
    PrintRaceDetector(totals);
    return totals.failures == 0 ? 0 : 1;
}

}  // namespace tesmo::explore
