#!/usr/bin/env bash
# Checks that the emulated headers lay out every structure and give every
# constant as the DDK does, builds the real driver image, tesmo.sys, in both
# trace variants, checks the images and their INF, checks that the emulation
# exports every routine the image imports, shows that two clean builds are
# identical, and tests the checker on deliberately broken images. Called by scripts/test.sh; skipped
# only when the mingw-w64 cross compiler is not installed.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  echo "windows-check: skipped: the mingw-w64 cross compiler (x86_64-w64-mingw32-g++) is not installed"
  exit 0
fi
source scripts/windows-env.sh
python=$(windows_python)

echo "windows-check: the emulated headers' structures and constants against the DDK's"
"$python" windows/checks/layout_parity.py

echo "windows-check: building tesmo.sys (default with the checker's probes, traced, and a second clean build)"
windows_build build/windows -DTESMO_BUILD_PROBES=ON
windows_build build/windows-traced -DTESMO_TRACE_TO_DEBUGGER=ON
windows_build build/windows-repro "-DTESMO_HARDWARE_ID=USB\\VID_1234&PID_5678"

exports=host/nt/include/emu/Exports.def
"$python" windows/checks/check_package.py --image build/windows/tesmo.sys \
  --symbols build/windows/unstripped/tesmo.sys --inf build/windows/tesmo.inf \
  --version-header include/Tesmo.h --emulation-table "$exports" --list-imports

# The checks against the export table must each reject a probe that is
# otherwise correct: one imports a routine the emulation lacks, one takes a
# spin lock in pageable code.
expect_rejected() {
  local probe=$1 check=$2 what=$3 status=0
  echo "windows-check: the $check check on a probe that $what"
  "$python" windows/checks/check_package.py --image "build/windows/probes/$probe.sys" \
    --symbols "build/windows/probes/unstripped/$probe.sys" --emulation-table "$exports" \
    >"build/windows/$probe.check" || status=$?
  grep -- " $check " "build/windows/$probe.check"
  if [ "$status" -eq 0 ] || ! grep -q "FAIL $check " "build/windows/$probe.check"; then
    echo "windows-check: the probe that $what passed the $check check" >&2
    exit 1
  fi
}
expect_rejected probe_unemulated_import emulated-imports "imports a routine the emulation lacks"
expect_rejected probe_paged_spin_lock pageable-calls "takes a spin lock in pageable code"

# The shipped image in the emulation's own kernel, through its PE loader
# (the host build's emulation tests, when the test command built them).
if [ -x build/asan/tests/emulation_tests ]; then
  echo "windows-check: tesmo.sys loaded by the emulated kernel"
  TESMO_WINDOWS_BUILD="$PWD/build/windows" build/asan/tests/emulation_tests --gtest_filter='PlatformImageTest.*' \
    --gtest_brief=1
fi

"$python" windows/checks/test_checks.py --build build/windows --traced-build build/windows-traced \
  --repro-build build/windows-repro
