#!/usr/bin/env bash
# The USB captures at scale: the demo's and those of 100 explorer scenarios
# (tesmo-sim explore --pcap), each read by tshark, which must say nothing
# about it and pair every completion with its submission. Takes about a
# minute; the test command checks the demo's and five scenarios' only.
#   scripts/capture-check.sh [BUILD_DIR]     (default: build/asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/asan}
scripts/bootstrap.sh host
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
"$build/tools/tesmo-sim" demo --pcap "$folder/demo.pcap" >/dev/null
"$build/tools/tesmo-sim" explore --runs 100 --seed 1 --pcap "$folder" | tail -n 1
/usr/bin/python3 tests/clients/usb_capture_check.py "$folder"/demo.pcap "$folder"/seed-*.pcap | tail -n 1
