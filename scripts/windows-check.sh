#!/usr/bin/env bash
# Builds the real driver image, tesmo.sys, in both trace variants, checks the
# images and their INF, checks that the emulation exports every routine the
# image imports, shows that two clean builds are identical, and tests the
# checker on deliberately broken images. Called by scripts/test.sh; skipped
# only when the mingw-w64 cross compiler is not installed.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  echo "windows-check: skipped: the mingw-w64 cross compiler (x86_64-w64-mingw32-g++) is not installed"
  exit 0
fi
source scripts/windows-env.sh
python=$(windows_python)

echo "windows-check: building tesmo.sys (default with the checker's probes, traced, and a second clean build)"
windows_build build/windows -DTESMO_BUILD_PROBES=ON
windows_build build/windows-traced -DTESMO_TRACE_TO_DEBUGGER=ON
windows_build build/windows-repro "-DTESMO_HARDWARE_ID=USB\\VID_1234&PID_5678"

exports=host/nt/include/emu/Exports.def
"$python" windows/checks/check_package.py --image build/windows/tesmo.sys \
  --symbols build/windows/unstripped/tesmo.sys --inf build/windows/tesmo.inf \
  --version-header include/Tesmo.h --emulation-table "$exports" --list-imports

# The same check must reject an image that imports a routine the emulation
# lacks (the probe is otherwise correct).
echo "windows-check: the check against the emulation's export table on a probe that imports a routine it lacks"
probe_status=0
"$python" windows/checks/check_package.py --image build/windows/probes/probe_unemulated_import.sys \
  --symbols build/windows/probes/unstripped/probe_unemulated_import.sys --emulation-table "$exports" \
  >build/windows/probe_unemulated_import.check || probe_status=$?
grep "emulated-imports" build/windows/probe_unemulated_import.check
if [ "$probe_status" -eq 0 ] || ! grep -q "FAIL emulated-imports" build/windows/probe_unemulated_import.check; then
  echo "windows-check: the probe that imports a routine the emulation lacks passed the check" >&2
  exit 1
fi

"$python" windows/checks/test_checks.py --build build/windows --traced-build build/windows-traced \
  --repro-build build/windows-repro
