// The driver image of a fuzz target, loaded once for the process's life.
//
// Each input runs in a fresh emulated system whose LoadDriverImage opens the
// image and whose unload closes it again. A closed image would take its
// coverage counters with it, which the fuzzing engine reads after every
// input; so the target keeps the image open itself (the system's open and
// close only count references), and gives each input the image's writable
// data as it was before the first DriverEntry, as a fresh load would.
//
// Threads: Pin from LLVMFuzzerInitialize; Restore on the input's thread
// before its system loads the driver, while no driver code runs.
#pragma once

#include <string>

namespace tesmo::fuzz {

// Where the image is: TESMO_DRIVER_IMAGE, else beside the executable (how
// a fuzzing service ships it), else the build's own.
const std::string& DriverImagePath();

// Opens the image for good and keeps a copy of its writable data. Also
// points the test support's loader at the same path.
void PinDriverImage();

// Puts the copy back.
void RestoreDriverImage();

}  // namespace tesmo::fuzz
