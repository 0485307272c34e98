#!/usr/bin/env bash
# Builds the fuzz targets (preset fuzz: clang 14, libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer), replays each target's seeds, then fuzzes
# each target for a bounded time in fork mode. A crash, a sanitizer report, a
# verifier finding, a hang (an input running longer than FUZZ_TIMEOUT) or an
# out-of-memory is a finding: the script names the input that caused it and
# exits 1.
#   scripts/fuzz.sh                   every target
#   scripts/fuzz.sh fuzz_ioctl ...    the targets named
# Environment:
#   FUZZ_SECONDS  how long each target is fuzzed (default 60; 0 only replays)
#   FUZZ_JOBS     fork mode's parallel jobs (default 2)
#   FUZZ_TIMEOUT  seconds one input may take before it is a hang (default 25)
# What a run finds stays: new inputs in build/fuzz/corpus/<target>/ (the next
# run starts from them), findings in build/fuzz/findings/<target>/. Replay one
# with build/fuzz/tests/fuzz/<target> FILE (TESMO_FUZZ_VERBOSE=1 says what it
# does step by step).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/fuzz
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-2}
timeout=${FUZZ_TIMEOUT:-25}
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(fuzz_ioctl fuzz_device fuzz_program)
fi

scripts/bootstrap.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2 --target "${targets[@]}"

# The engine's own leak check after each input is left on: a fresh system per
# input frees all it took.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=0
for target in "${targets[@]}"; do
  binary=$build/tests/fuzz/$target
  seeds=tests/fuzz/corpus/$target
  corpus=$build/corpus/$target
  findings=$build/findings/$target
  mkdir -p "$corpus" "$findings"
  log=$build/$target.log

  echo "fuzz: $target: replaying $(find "$seeds" -type f | wc -l) seeds"
  if ! "$binary" -timeout="$timeout" -artifact_prefix="$findings/" "$seeds"/* >"$log" 2>&1; then
    echo "fuzz: $target: a seed fails (log: $log)"
    grep -E "^fuzz: |ERROR: |SUMMARY: " "$log" | head -20 || true
    failed=1
    continue
  fi
  ((seconds > 0)) || continue

  echo "fuzz: $target: fuzzing for ${seconds} s, $jobs jobs"
  find "$findings" -type f | sort >"$build/$target.before"
  status=0
  # Fork mode would go on past a hang or an out-of-memory; here each is a
  # finding that ends the run, as a crash does.
  "$binary" -fork="$jobs" -ignore_crashes=0 -ignore_timeouts=0 -ignore_ooms=0 -max_total_time="$seconds" \
    -timeout="$timeout" -rss_limit_mb=2048 -artifact_prefix="$findings/" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
  grep -E "^#[0-9]+: cov" "$log" | tail -1 || true
  new=$(find "$findings" -type f | sort | comm -13 "$build/$target.before" -)
  if ((status != 0)) || [[ -n "$new" ]]; then
    echo "fuzz: $target: FINDING (exit $status; log: $log)"
    grep -E "^fuzz: |ERROR: |SUMMARY: |Test unit written to" "$log" | head -20 || true
    for input in $new; do echo "fuzz: $target: input: $input"; done
    failed=1
  else
    echo "fuzz: $target: no finding; corpus $(find "$corpus" -type f | wc -l) inputs"
  fi
done
exit "$failed"
