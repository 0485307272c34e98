#!/usr/bin/env bash
# Runs clang-tidy (the checks of .clang-tidy: the static analyzer and the
# bug-prone patterns) over the driver and the host emulation, with the
# compile commands of the asan build, two files at a time. Any finding, in a
# source file or in one of the repository's headers it includes, fails the
# run; each failing file's findings are printed.
#   tidy-check.sh [FILE...]    only these source files (default: all of them)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

source scripts/clang-tools.sh
clang_tidy=$(clang_tool clang-tidy tidy-check)

# The compile commands of the asan build, less what only GCC knows (and
# -Werror: clang's own warnings are not what this run checks).
if [[ ! -f build/asan/compile_commands.json ]]; then
  cmake --preset asan >/dev/null
fi
mkdir -p build/tidy
python3 - build/asan/compile_commands.json build/tidy/compile_commands.json <<'EOF'
import json, shlex, sys
gcc_only = {"-fno-gnu-unique", "-Werror"}
commands = json.load(open(sys.argv[1]))
for entry in commands:
    arguments = entry.pop("arguments", None) or shlex.split(entry.pop("command"))
    entry["arguments"] = [argument for argument in arguments if argument not in gcc_only]
json.dump(commands, open(sys.argv[2], "w"), indent=1)
EOF

# What is checked: every source file of src/ and host/ in the build, and the
# repository's headers under src/, include/ and host/ that they include.
if (($#)); then
  mapfile -t sources < <(printf '%s\n' "$@")
else
  mapfile -t sources < <(python3 - build/tidy/compile_commands.json "$root" <<'EOF'
import json, os, sys
root = sys.argv[2]
for entry in json.load(open(sys.argv[1])):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), root)
    if path.startswith(("src/", "host/")):
        print(path)
EOF
  )
  mapfile -t sources < <(printf '%s\n' "${sources[@]}" | sort -u)
fi
escaped_root=$(printf '%s' "$root" | sed 's/[][\.*^$+?(){}|/]/\\&/g')
header_filter="^$escaped_root/(src|include|host/(usb|instrument|control|win32|nt))/"

results=build/tidy/results
rm -rf "$results"
mkdir -p "$results"
if (($#)); then
  echo "tidy-check: ${#sources[@]} source file(s), 2 at a time"
else
  echo "tidy-check: ${#sources[@]} source files of src/ and host/, 2 at a time"
fi
start=$SECONDS
export clang_tidy header_filter results
printf '%s\n' "${sources[@]}" | xargs -P 2 -I{} sh -c '
  out="$results/$(printf "%s" "$1" | tr / _).log"
  if ! "$clang_tidy" -p build/tidy --quiet --header-filter="$header_filter" "$1" >"$out" 2>&1; then
    mv "$out" "$out.failed"
  fi' sh {}

failed=("$results"/*.failed)
if [[ -e "${failed[0]}" ]]; then
  for log in "${failed[@]}"; do
    grep -v "warnings\? generated\.$" "$log" || true
  done
  findings=$(cat "${failed[@]}" | grep -Eo "^[^ ]+:[0-9]+:[0-9]+: (warning|error): .*" | sort -u | wc -l)
  echo "tidy-check: FAILED: $findings finding(s) in ${#failed[@]} source file(s) ($((SECONDS - start)) s)" >&2
  exit 1
fi
echo "tidy-check: no findings ($((SECONDS - start)) s)"
