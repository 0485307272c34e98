// Runs a scenario file (see ScenarioFile.h) against a fresh emulated system
// whose clock runs on by itself whenever everything waits, so a time limit
// passes at once when nothing answers and a run is the same every time.
#pragma once

#include <string>

namespace tesmo::sim {

// 0 when every step did what it should and the verifier found nothing; 1 for
// a failed step or a violation (each said why); 2 for a file that cannot be
// read or parsed. `pcapPath` and `timelinePath`, if not empty: where the
// USB capture and the timeline go.
int RunScenarioFile(const std::string& path, const std::string& pcapPath = {}, const std::string& timelinePath = {});

}  // namespace tesmo::sim
