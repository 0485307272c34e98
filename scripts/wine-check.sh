#!/usr/bin/env bash
# Runs the real driver image, tesmo.sys, in Wine's NT kernel: builds the test
# bus, the Win32 client and the setup program with mingw-w64, then runs
# tests/wine/wine-test.sh against the images that scripts/windows-check.sh
# built (build/windows, build/windows-traced; built here if missing).
# Called by scripts/test.sh after the Windows checks; skipped only when
# wine64 is not installed.
set -euo pipefail
cd "$(dirname "$0")/.."

wine_loader=""
if command -v wine64 >/dev/null; then
  wine_loader=$(command -v wine64)
elif [[ -x /usr/lib/wine/wine64 ]]; then
  wine_loader=/usr/lib/wine/wine64  # Debian's wine64 package keeps it off the PATH
fi
if [[ -z "$wine_loader" ]]; then
  echo "wine-check: skipped: wine64 is not installed"
  exit 0
fi
if ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  echo "wine-check: FAILED: wine64 is installed but the mingw-w64 cross compiler is not" >&2
  exit 1
fi
source scripts/windows-env.sh

for variant in windows windows-traced; do
  if [[ ! -f build/$variant/tesmo.sys ]]; then
    options=()
    [[ $variant == windows-traced ]] && options=(-DTESMO_TRACE_TO_DEBUGGER=ON)
    windows_build "build/$variant" "${options[@]}"
  fi
done

echo "wine-check: building the test bus, the client and the setup program"
mkdir -p build/wine
if ! { cmake -S tests/wine -B build/wine/programs --toolchain "$windows_toolchain" &&
       cmake --build build/wine/programs -j 2; } >build/wine/programs.log 2>&1; then
  cat build/wine/programs.log >&2
  echo "wine-check: the build of tests/wine failed" >&2
  exit 1
fi

exec tests/wine/wine-test.sh --loader "$wine_loader" --work build/wine --programs build/wine/programs \
  --image build/windows/tesmo.sys --traced-image build/windows-traced/tesmo.sys
