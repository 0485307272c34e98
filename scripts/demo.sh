#!/usr/bin/env bash
# The main job: boots the emulated system, loads the driver, plugs in a
# simulated instrument and runs a session against it, printing what happened.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh host
cmake --preset release >/dev/null
cmake --build --preset release --target tesmo-sim -j 2
exec build/release/tools/tesmo-sim demo "$@"
