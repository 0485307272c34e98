#!/usr/bin/env bash
# Checks that the C and C++ files a change touches are formatted as
# .clang-format says (src/ and include/ add the driver's own rules).
#
# The files checked are those that differ from the merge base with the main
# branch (committed, staged, unstaged or new), or, where that is nothing, as
# on a clean clone of the main branch itself, the files of the last commit
# (for a merge, what it brought in). Files nobody touches are never checked,
# so formatting never spreads into other people's work on its own.
#   format-check.sh [--fix]    --fix formats the files in place instead
# TESMO_MAIN_BRANCH names another branch to compare with (default: main,
# else origin/main).
set -euo pipefail
cd "$(dirname "$0")/.."

fix=0
case "${1:-}" in
  "") ;;
  --fix) fix=1 ;;
  *) echo "usage: $0 [--fix]" >&2; exit 2 ;;
esac

source scripts/clang-tools.sh
clang_format=$(clang_tool clang-format format-check)

main_ref=""
for candidate in "${TESMO_MAIN_BRANCH:-}" main origin/main; do
  if [[ -n "$candidate" ]] && git rev-parse --verify --quiet "$candidate^{commit}" >/dev/null; then
    main_ref=$candidate
    break
  fi
done

changed=()
what=""
if [[ -n "$main_ref" ]]; then
  base=$(git merge-base HEAD "$main_ref")
  # Against the working tree: committed and uncommitted changes alike.
  mapfile -t changed < <({ git diff --name-only --diff-filter=d "$base" --;
                           git ls-files --others --exclude-standard; } | sort -u)
  what="changed since $(git rev-parse --short "$base") (the merge base with $main_ref)"
fi
if ((${#changed[@]} == 0)); then
  if git rev-parse --verify --quiet HEAD^1 >/dev/null; then
    mapfile -t changed < <(git diff --name-only --diff-filter=d HEAD^1 HEAD --)
    what="of the last commit, $(git rev-parse --short HEAD)"
  elif [[ $(git rev-parse --is-shallow-repository) == true ]]; then
    echo "format-check: skipped: a shallow clone without the last commit's parent has nothing to compare with"
    exit 0
  else
    mapfile -t changed < <(git ls-tree -r --name-only HEAD)
    what="of the first commit"
  fi
fi

files=()
for file in "${changed[@]}"; do
  case "$file" in
    *.c | *.cc | *.cpp | *.cxx | *.h | *.hh | *.hpp | *.hxx | *.inl)
      [[ -f "$file" ]] && files+=("$file") ;;
  esac
done
if ((${#files[@]} == 0)); then
  echo "format-check: no C or C++ file $what"
  exit 0
fi

if ((fix)); then
  "$clang_format" -i "${files[@]}"
  echo "format-check: formatted ${#files[@]} file(s) $what"
  exit 0
fi

unformatted=()
for file in "${files[@]}"; do
  if ! "$clang_format" "$file" | cmp -s - "$file"; then
    unformatted+=("$file")
    echo "format-check: $file is not formatted; $clang_format would change:"
    "$clang_format" "$file" | diff -u --label "$file" --label "$file (formatted)" "$file" - | head -n 40 || true
  fi
done
if ((${#unformatted[@]} != 0)); then
  echo "format-check: FAILED: ${#unformatted[@]} of ${#files[@]} file(s) $what are not formatted;" \
    "run scripts/format-check.sh --fix (or $clang_format -i FILE)" >&2
  exit 1
fi
echo "format-check: ${#files[@]} C/C++ file(s) $what are formatted"
