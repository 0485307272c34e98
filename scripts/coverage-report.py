#!/usr/bin/env python3
"""The driver's coverage from the counters a coverage build left.

Prints a table of line and branch coverage per unit of src/, writes an HTML
report under the build folder, and lists every line not reached that the
exceptions file does not excuse. Exit status 1 when such a line exists or
branch coverage is below the goal.

An exception names a unit and the text of one of its lines (white space
folded), so that it survives edits around it, and says why no run can reach
it:  src/Unit.cpp | the line's text | why
"""

import argparse
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def folded(text):
    return " ".join(text.split())


def read_exceptions(path):
    exceptions = {}
    if not os.path.isfile(path):
        return exceptions
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            parts = [part.strip() for part in line.split(" | ")]
            if len(parts) != 3 or not parts[2]:
                sys.exit(f"{path}:{number}: expected 'src/Unit.cpp | the line's text | why'")
            exceptions[(parts[0], folded(parts[1]))] = parts[2]
    return exceptions


def gcovr(build, *arguments):
    command = ["gcovr", "--root", ROOT, "--filter", os.path.join(ROOT, "src") + "/", "--object-directory", build,
               "--exclude-unreachable-branches", "--exclude-throw-branches", *arguments]
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--exceptions", required=True)
    parser.add_argument("--branch-goal", type=float, default=97.0)
    args = parser.parse_args()
    build = os.path.abspath(args.build)

    report = json.loads(gcovr(build, "--json"))
    html = os.path.join(build, "html")
    os.makedirs(html, exist_ok=True)
    gcovr(build, "--html-details", os.path.join(html, "index.html"))
    exceptions = read_exceptions(os.path.join(ROOT, args.exceptions))

    rows = []
    unreached = []
    used = set()
    totals = [0, 0, 0, 0]  # lines reached, lines, branches taken, branches
    for entry in sorted(report["files"], key=lambda e: e["file"]):
        unit = entry["file"]
        with open(os.path.join(ROOT, unit)) as f:
            source = f.read().splitlines()
        counts = [0, 0, 0, 0]
        for line in entry["lines"]:
            if line.get("gcovr/noncode"):
                continue
            counts[1] += 1
            counts[0] += line["count"] > 0
            for branch in line["branches"]:
                counts[3] += 1
                counts[2] += branch["count"] > 0
            if line["count"] == 0:
                text = folded(source[line["line_number"] - 1])
                if (unit, text) in exceptions:
                    used.add((unit, text))
                else:
                    unreached.append(f"{unit}:{line['line_number']}: {text}")
        totals = [t + c for t, c in zip(totals, counts)]
        rows.append((unit, counts))

    def percent(part, whole):
        return 100.0 * part / whole if whole else 100.0

    print(f"{'unit':28} {'lines':>16} {'branches':>16}")
    for unit, c in rows + [("all of src/", totals)]:
        print(f"{unit:28} {c[0]:>5}/{c[1]:<5} {percent(c[0], c[1]):5.1f}% {c[2]:>5}/{c[3]:<5} {percent(c[2], c[3]):5.1f}%")
    print(f"HTML report: {os.path.relpath(os.path.join(html, 'index.html'), ROOT)}")
    for key in sorted(set(exceptions) - used):
        print(f"coverage: the exception '{key[0]} | {key[1]}' matches no unreached line (reached now, or edited)")
    if unreached:
        print(f"coverage: {len(unreached)} lines not reached:")
        for line in unreached:
            print(f"  {line}")
    branches = percent(totals[2], totals[3])
    failed = bool(unreached) or branches < args.branch_goal
    if branches < args.branch_goal:
        print(f"coverage: branch coverage {branches:.1f}% is below the goal of {args.branch_goal:.1f}%")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
