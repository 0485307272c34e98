// tesmo-sim explore: random programs of PnP, power and I/O against the
// driver, each in a child process of its own so that a crash or a hang is a
// finding, not the end of the run; a failure is replayed from its seed and
// shrunk to the fewest steps that still fail.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tesmo::explore {

struct ExploreOptions {
    std::uint64_t seed = 1;               // scenario i runs seed + i
    std::optional<std::uint64_t> runs;    // how many scenarios
    std::optional<double> seconds;        // or for how long
    int devices = 2;                      // at most this many instruments
    std::optional<std::uint64_t> replay;  // run this one seed, verbosely
    std::string seedsFile;                // run the seeds listed in this file
    double hangSeconds = 60;              // wall time after which a scenario counts as hung
    bool controlled = true;               // a controlled schedule from each seed (else free-running)
    unsigned depth = 3;                   // its depth: change points + 1
    std::vector<std::string> without;     // step kinds left out of the programs
    bool checkReplay = false;             // run each controlled scenario twice and compare
    // Where each scenario's USB capture goes (seed-N.pcap; a failure's
    // shrunk program: seed-N-shrunk.pcap); empty: only the shrunk failures',
    // to the temporary folder.
    std::string pcapDir;
};

// Returns the process's exit code: 0 when nothing failed.
int Explore(const ExploreOptions& options);

}  // namespace tesmo::explore
