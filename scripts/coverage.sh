#!/usr/bin/env bash
# Line and branch coverage of the driver (src/) from the suites that load it
# and a bounded controlled exploration: a table per unit, an HTML report under
# build/coverage/html/, and every line not reached. Fails when a line outside
# scripts/coverage-exceptions.txt is not reached or branch coverage falls
# below the goal. EXPLORE_RUNS (default 1500) sets how many scenarios the
# exploration runs: a count, not a time, so that the figures do not depend on
# how busy the machine is.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/coverage
scripts/bootstrap.sh coverage
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DTESMO_SANITIZE=OFF -DTESMO_BUILD_BENCH=OFF -DTESMO_COVERAGE=ON \
  -DTESMO_WARNINGS_AS_ERRORS=ON >/dev/null
suites=(driver_tests serial_port_tests scenario_tests win32_tests capi_tests)
cmake --build "$build" -j 2 --target tesmo_driver tesmo_driver_race tesmo-sim "${suites[@]}"
find "$build" -name '*.gcda' -delete
# The plain image is the one measured, whatever the caller's environment says.
unset TESMO_DRIVER_IMAGE
for suite in "${suites[@]}"; do
  echo "coverage: $suite"
  "$build/tests/$suite" --gtest_brief=1 >/dev/null
done
echo "coverage: ${EXPLORE_RUNS:-1500} scenarios of controlled exploration"
"$build/tools/tesmo-sim" explore --runs "${EXPLORE_RUNS:-1500}" --seed 1 >/dev/null
exec python3 scripts/coverage-report.py --build "$build" --exceptions scripts/coverage-exceptions.txt
