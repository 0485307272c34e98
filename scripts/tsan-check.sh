#!/usr/bin/env bash
# The emulation's, the bus's, the serial port's and the driver's tests under
# ThreadSanitizer: a data race between the driver's threads, or inside the
# emulation, fails the run with both stacks.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j 2 --target emulation_tests usb_tests serial_port_tests driver_tests
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
for binary in emulation_tests usb_tests serial_port_tests driver_tests; do
  echo "tsan-check: $binary"
  "build/tsan/tests/$binary" --gtest_brief=1
done
