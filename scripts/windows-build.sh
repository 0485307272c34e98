#!/usr/bin/env bash
# Builds the driver package: build/windows/tesmo.sys and build/windows/tesmo.inf.
#   windows-build.sh [--traced] [--hardware-id 'USB\VID_vvvv&PID_pppp']
#   --traced        trace messages go to the kernel's debug print (DbgPrintEx)
#   --hardware-id   the instrument's ID, written into the package's INF
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh all
source scripts/windows-env.sh

options=()
while (($#)); do
  case "$1" in
    --traced) options+=(-DTESMO_TRACE_TO_DEBUGGER=ON) ;;
    --hardware-id) options+=("-DTESMO_HARDWARE_ID=$2"); shift ;;
    *) echo "usage: $0 [--traced] [--hardware-id 'USB\\VID_vvvv&PID_pppp']" >&2; exit 2 ;;
  esac
  shift
done

windows_build build/windows "${options[@]}"
echo "windows-build: build/windows/tesmo.sys and build/windows/tesmo.inf"
