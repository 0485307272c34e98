# Shared by the Windows image scripts (sourced, not run): configures and
# builds the image project in a build directory of the repository.

windows_toolchain="$PWD/windows/toolchain-x86_64-w64-mingw32.cmake"

# windows_build DIR [cmake -D options...]: a clean build; its output goes to
# DIR.log and is shown only if the build fails.
windows_build() {
  local dir=$1
  shift
  rm -rf "$dir"
  mkdir -p "$(dirname "$dir")"
  if ! { cmake -S windows -B "$dir" --toolchain "$windows_toolchain" "$@" &&
         cmake --build "$dir" -j 2; } >"$dir.log" 2>&1; then
    cat "$dir.log" >&2
    echo "windows: the build in $dir failed" >&2
    return 1
  fi
}

# The Python that has pefile (Debian's python3-pefile serves /usr/bin/python3,
# which need not be the first python3 on PATH).
windows_python() {
  local candidate
  for candidate in python3 /usr/bin/python3; do
    if command -v "$candidate" >/dev/null && "$candidate" -c 'import pefile' 2>/dev/null; then
      command -v "$candidate"
      return 0
    fi
  done
  echo "windows: no python3 with pefile; run scripts/bootstrap.sh all" >&2
  return 1
}
