#!/usr/bin/env bash
# Builds everything and runs every test: the formatting of the changed files,
# the host build (warnings are errors) under AddressSanitizer and
# UndefinedBehaviorSanitizer, clang-tidy over the driver and the emulation,
# the emulation's, bus's, serial port's and driver's tests again under
# ThreadSanitizer, then the checks of the Windows image, then the real image
# in Wine's NT kernel.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh all
scripts/format-check.sh
cmake --preset asan >/dev/null
cmake --build --preset asan -j 2
ctest --preset asan
scripts/tidy-check.sh
scripts/tsan-check.sh
scripts/windows-check.sh
scripts/wine-check.sh
