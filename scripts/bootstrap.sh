#!/usr/bin/env bash
# Installs the Debian packages the project needs, if any is missing.
#   bootstrap.sh host   - what the host build, the tests and the demo need
#   bootstrap.sh all    - also the Windows cross toolchain, Wine, and the
#                         format and tidy checks' clang tools
#   bootstrap.sh coverage - the host's and the coverage report's
#   bootstrap.sh fuzz   - the host's and the fuzz targets' (clang 14, libFuzzer)
set -euo pipefail

host_packages=(cmake g++ make python3 libgtest-dev libgmock-dev libbenchmark-dev python3-serial socat netcat-openbsd
  tshark python3-jsonschema)
windows_packages=(g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 python3-pefile wine64)
check_packages=(clang-format-14 clang-tidy-14)
coverage_packages=(gcovr)
fuzz_packages=(clang-14 libclang-rt-14-dev)

wanted=("${host_packages[@]}")
if [[ "${1:-host}" == "all" ]]; then
  wanted+=("${windows_packages[@]}" "${check_packages[@]}")
elif [[ "${1:-host}" == "coverage" ]]; then
  wanted+=("${coverage_packages[@]}")
elif [[ "${1:-host}" == "fuzz" ]]; then
  wanted+=("${fuzz_packages[@]}")
fi

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "bootstrap: installing ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
