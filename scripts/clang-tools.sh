# Sourced by the format and tidy gates: finds one of the clang tools in
# version 14, the version the gates were written for (another version
# formats and diagnoses differently).
#   clang_tool NAME GATE    prints the command (NAME-14 or NAME), or says
#                           which gate fails and returns 1
clang_tool() {
  local name=$1 gate=$2 candidate
  for candidate in "$name-14" "$name"; do
    if command -v "$candidate" >/dev/null && "$candidate" --version | grep -q "version 14\."; then
      echo "$candidate"
      return 0
    fi
  done
  echo "$gate: FAILED: $name 14 is not installed (scripts/bootstrap.sh all installs it)" >&2
  return 1
}
