#!/usr/bin/env bash
# The real tesmo.sys in a second NT kernel: Wine's.
#
# Wine's kernel emulation (winedevice.exe) loads real .sys images, runs a PnP
# manager and routes Win32 calls to drivers. Each scenario below takes a
# fresh copy of a Wine prefix prepared once per run, installs the test bus
# (tests/wine/bus, a root-enumerated bus whose child is the instrument) and
# the product INF's Wine variant (made from windows/tesmo.inf by
# WineInf.cmake), plugs the instrument in through the bus's control device,
# waits for the COM name, runs the Win32 client (tests/wine/programs), unplugs
# the instrument and checks that the COM name and its SERIALCOMM entry are
# gone and that the bus saw the expected traffic. Plugging and unplugging
# return once Wine's PnP manager is done with the instrument (the setup
# program waits for the bus enumeration that follows, see WineSetup.cpp), so
# nothing here waits on a clock. Wine's own processes for the prefix are
# stopped with `wineserver -k` when a scenario ends, also when it fails or is
# interrupted, and every Wine command has a time limit so that a hung driver
# fails the run instead of stalling it.
#
# Scenarios: the image as installed (build/windows), the traced image
# (build/windows-traced) whose own trace lines must show up in Wine's debug
# output, and three that must fail, each for its own reason: a client that
# expects another identification, an instrument that refuses its
# configuration (the start fails and no port appears), and the driver left
# to Wine's registry access checks (below).
#
# What this covers: loading the image (imports, calling conventions,
# structure layouts as Wine's kernel sees them), the INF's matching and
# service installation, AddDevice, the start with its USB requests and the
# publication of the port, the data path while the queue admits requests
# (open, the serial I/O controls of GetCommState/SetCommState,
# SetCommTimeouts, ClearCommError, PurgeComm, TransmitCommChar, writes,
# reads through the reassembly buffer, a timed-out read-ahead whose transfer
# is cancelled, the private descriptor I/O controls), and surprise removal
# and removal.
#
# Where Wine 8.0 differs from Windows, and what therefore stays with the
# host emulation's tests:
#   - Wine sends no power requests and no IRP_MJ_CLEANUP, and its REMOVE does
#     not wait for open handles: power handling and cleanup are not covered.
#   - The cancel-safe queue's insert and remove and PoRequestPowerIrp are
#     stubs that abort winedevice.exe: held requests (a device-control
#     request while the queue holds) and system power are not covered. A
#     call that reaches such a stub fails the scenario ("unimplemented
#     function" in the log).
#   - Wine does not refuse a second open of an exclusive device (it does not
#     even set DO_EXCLUSIVE): the client is told to expect the second open
#     admitted, so a Wine that starts refusing it is noticed.
#   - Wine checks the granted access of a kernel handle even for kernel-mode
#     callers; Windows does not. The driver opens its device key with
#     STANDARD_RIGHTS_READ and then queries PortName, which Windows allows
#     and Wine refuses (STATUS_ACCESS_DENIED). The test bus therefore points
#     the driver's import of IoOpenDeviceRegistryKey, in memory, at a routine
#     that adds KEY_READ (tests/wine/bus/KernelModeAccess.h); the scenario
#     "Wine's registry access" runs without it and shows the difference.
#   - The COM name comes from the INF (PortName), as Wine has no Ports class
#     installer; the INF variant copies no files (the test places the image)
#     and names no catalog (nothing is signed here).
#
# Usage (scripts/wine-check.sh builds everything and calls this):
#   wine-test.sh --loader WINE64 --work DIR --programs DIR --image SYS --traced-image SYS
set -uo pipefail

while (($#)); do
  case "$1" in
    --loader) loader=$2 ;;
    --work) work=$2 ;;
    --programs) programs=$2 ;;
    --image) image=$2 ;;
    --traced-image) traced_image=$2 ;;
    *) echo "usage: $0 --loader WINE64 --work DIR --programs DIR --image SYS --traced-image SYS" >&2; exit 2 ;;
  esac
  shift 2
done
work=$(realpath "$work")
programs=$(realpath "$programs")
port=$(cat "$programs/port-name")

export DISPLAY=
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINELOADER="$loader"
wineserver=$(dirname "$loader")/wineserver
[[ -x "$wineserver" ]] || wineserver=wineserver

# Seconds one Wine command may take; each takes well under one.
readonly command_limit=60
# What Wine prints when a driver faults or calls one of its stubs that abort.
readonly crash_pattern="wine: (Call from .* to unimplemented function|Unhandled )"

# ---- the prefix, prepared once per run ----

base="$work/base-prefix"
stop_base() { WINEPREFIX="$base" "$wineserver" -k 2>/dev/null || true; }

prepare_base() {
  rm -rf "$base"
  trap stop_base EXIT
  if ! WINEPREFIX="$base" WINEDEBUG=-all "$loader" wineboot -i >"$work/base-prefix.log" 2>&1; then
    cat "$work/base-prefix.log" >&2
    echo "wine-test: FAILED: wineboot could not prepare a prefix" >&2
    exit 1
  fi
  WINEPREFIX="$base" "$wineserver" -w
  trap - EXIT
  # A COM name that Wine maps to a Linux tty is not the driver's to create.
  rm -f "$base/dosdevices/${port,,}"
}

# ---- one scenario, in a subshell: prints its steps, and on failure the
# reason on a line "wine-test: FAIL: ..."; exits non-zero on failure ----

scenario() {
  local name=$1 sys=$2 traced=$3 plug_options=$4
  shift 4
  local client_options=("$@")
  local dir="$work/runs/${name// /-}"
  local prefix="$dir/prefix" log="$dir/wine.log" out="$dir/steps.log"

  rm -rf "$dir"
  mkdir -p "$dir"
  # Hard links make the copy instant; what Wine rewrites in place (the
  # registry and the INF folder) is copied for real.
  cp -al "$base" "$prefix"
  for file in "$prefix"/*.reg; do
    rm "$file" && cp "$base/$(basename "$file")" "$file"
  done
  rm -rf "$prefix/drive_c/windows/inf" && cp -a "$base/drive_c/windows/inf" "$prefix/drive_c/windows/inf"
  cp "$sys" "$prefix/drive_c/windows/system32/drivers/tesmo.sys"
  cp "$programs/bus/tesmobus.sys" "$prefix/drive_c/windows/system32/drivers/tesmobus.sys"
  mkdir -p "$prefix/drive_c/tesmo"
  cp "$programs"/*.exe "$programs"/*.inf "$prefix/drive_c/tesmo/"

  export WINEPREFIX="$prefix"
  export WINEDEBUG=warn+debugstr,+plugplay
  trap '"$wineserver" -k 2>/dev/null || true' EXIT
  trap 'exit 130' INT TERM
  cd "$prefix/drive_c/tesmo" || exit 1
  # One Wine session for the whole scenario: without a persistent server,
  # a pause between two commands longer than the server's grace time ends
  # the session, and the next command boots a new one with fresh drivers.
  "$wineserver" -p

  # A crash of Wine's driver host explains most failures: it is named too.
  fail() {
    local crash
    crash=$(grep -m1 -E "$crash_pattern" "$log" 2>/dev/null)
    echo "wine-test: FAIL: $*${crash:+ (Wine reported: $crash)}" | tee -a "$out"
    exit 1
  }
  # Programs print CR LF; the logs keep plain lines.
  win() { timeout "$command_limit" "$loader" "$@" 2>>"$log" | tr -d '\r' >>"$out"; }
  setup() { win tesmo-wine-setup.exe "$@"; }

  setup stage-inf 'C:\tesmo\tesmo-wine.inf' || fail "the product INF could not be staged"
  setup install-bus 'C:\tesmo\tesmobus.inf' || fail "the test bus could not be installed"
  # shellcheck disable=SC2086 # the options are words
  setup plug $plug_options || fail "the instrument could not be plugged in"
  setup port "$port" present || fail "$port did not appear"
  setup serialcomm "$port" present || fail "SERIALCOMM does not name $port"
  win tesmo-client.exe "$port" --second-open admitted "${client_options[@]}" || fail "the client failed: $(grep 'client: FAIL' "$out")"
  setup unplug || fail "the instrument could not be unplugged"
  setup port "$port" absent || fail "$port is still there after unplugging"
  setup serialcomm "$port" absent || fail "SERIALCOMM still names $port after unplugging"

  win tesmo-wine-setup.exe counters || fail "the bus's counters could not be read"
  sed -n '/^[a-z_]*=[0-9]*$/p' "$out" >"$dir/counters"
  local expected
  # Three "*IDN?" commands (the last one as an immediate "*" and "IDN?\n"),
  # three 31-byte answers, and two transfers given up when their wait ran
  # out: the packet after the first answer's last piece, and the
  # read-ahead of the status query after the purge. Two parent-port checks,
  # each asking for the port status, and one reset, of the disabled port.
  for expected in plugged=0 started=1 configurations=1 bulk_out_bytes=18 bulk_in_bytes=93 cancelled_transfers=2 \
                  port_status_queries=2 port_resets=1; do
    grep -qx "$expected" "$dir/counters" ||
      fail "the bus counted $(grep "^${expected%=*}=" "$dir/counters"), expected $expected"
  done

  "$wineserver" -k 2>/dev/null
  trap - EXIT
  grep -q -E "$crash_pattern" "$log" && fail "Wine's driver host crashed"
  if [[ $traced == traced ]]; then
    local banner line
    banner=$(printf '%*s' 82 '' | tr ' ' '*')
    for line in "$banner" "Pnp.c: HandleStartDevice ENTRY" "Pnp.c:HandleStartDevice EXIT = 0x0" \
                "Pnp.c: HandleSurpriseRemoval ENTRY" "Pnp.c: HandleRemoveDevice ENTRY"; do
      grep -q -E "debugstr:vDbgPrintExWithPrefix [0-9a-f]+:[0-9a-f]+: $(printf '%s' "$line" | sed 's/[*.]/\\&/g')\$" "$log" ||
        fail "the driver's trace line \"$line\" is missing from Wine's debug output"
    done
  fi
  echo "wine-test: $name: all steps passed" >>"$out"
}

passed=0
failed=0
result() {
  if [[ $1 == ok ]]; then
    passed=$((passed + 1))
    echo "wine-test: ok: $2"
  else
    failed=$((failed + 1))
    echo "wine-test: FAILED: $2"
  fi
}

# A scenario that must pass.
expect_pass() {
  local name=$1
  local started=$SECONDS
  if (scenario "$@"); then
    result ok "$name ($((SECONDS - started)) s)"
  else
    result failed "$name; see $work/runs/${name// /-}/"
  fi
}

# A scenario that must fail with a reason matching the pattern: a test of
# the test. Its own output stays in its folder.
expect_failure() {
  local pattern=$1
  shift
  local name=$1 reason
  local started=$SECONDS
  if (scenario "$@") >/dev/null; then
    result failed "$name passed, but it must fail ($pattern)"
    return
  fi
  reason=$(grep -m1 'wine-test: FAIL:' "$work/runs/${name// /-}/steps.log")
  if [[ "$reason" =~ $pattern ]]; then
    result ok "$name fails as it must: ${reason#wine-test: FAIL: } ($((SECONDS - started)) s)"
  else
    result failed "$name failed for another reason than \"$pattern\": $reason"
  fi
}

started=$SECONDS
mkdir -p "$work"
rm -rf "$work/runs"
prepare_base

expect_pass "installed image" "$image" untraced ""
expect_pass "traced image" "$traced_image" traced ""
expect_failure "the identification is the expected one" \
  "wrong answer" "$traced_image" traced "" --identity "TESMO,Model 8,SN 000123,FW 1.5"
expect_failure "$port did not appear" \
  "configuration refused" "$traced_image" traced "--refuse-configuration"
expect_failure "$port did not appear" \
  "Wine's registry access" "$traced_image" traced "--wine-registry-access"

# Why the last two failed: the driver's own account of its start.
grep -q "HandleStartDevice-SelectConfiguration failed with 0xc0000001" \
  "$work/runs/configuration-refused/wine.log" ||
  result failed "the refused configuration did not fail the start in SelectConfiguration"
grep -q "HandleStartDevice-GetRegistryKeyValue failed with 0xc0000022" \
  "$work/runs/Wine's-registry-access/wine.log" ||
  result failed "under Wine's registry access the start did not fail reading PortName"

echo "wine-test: $passed passed, $failed failed ($((SECONDS - started)) s)"
((failed == 0))
