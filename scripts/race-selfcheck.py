#!/usr/bin/env python3
"""A self-check of the race detector that cannot be tuned: one faulty copy of
the driver per synchronisation it has, made mechanically from the sources,
each built as the instrumented image and run under the detector (the serial
port's and the driver's unit tests, then a seeded controlled exploration).
A variant is reported when the detector names it (verifier rule
UnguardedAccess or DataRace); a variant the tests fail on otherwise is
listed apart, and so is one that does not build.

The variants:
  lock-removed      a spin lock's acquire and its release become a bare raise
                    and lowering of the IRQL (the lock callbacks of the queue
                    included: they then raise the IRQL without the lock)
  released-early    a release moved above the statement before it
  checked-early     a test inside a critical section evaluated just before
                    the lock is taken
  interlocked-plain an interlocked operation done as a plain read and store

Usage: scripts/race-selfcheck.py [--explore-seconds N] [--seed S]
                                 [--only SUBSTRING] [--list] [--keep]
Runs in a scratch worktree of HEAD under build/race-selfcheck; needs the
release preset's toolchain (scripts/bootstrap.sh). Prints one line per
variant and "N of M reported" at the end; exits 1 when any variant that
builds goes unreported.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass, field

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRATCH = os.path.join(ROOT, "build", "race-selfcheck")
TREE = os.path.join(SCRATCH, "tree")
BUILD = os.path.join(SCRATCH, "build")
SOURCES = ["src/Diagnostics.cpp", "src/Ioctl.cpp", "src/Pnp.cpp", "src/Power.cpp", "src/Queue.cpp",
           "src/ReadWrite.cpp", "src/Tesmo.cpp", "src/Usb.cpp", "include/DeviceExtension.h", "include/EventLog.h"]
FINDING = re.compile(r"rule (UnguardedAccess|DataRace)")

# Plain stand-ins for the interlocked operations: what a driver that forgot
# the processor's other cores would write.
PLAIN_SHIM = """// Plain stand-ins for interlocked operations (the race detector's self-check).
#pragma once
template <typename T> inline T TesmoPlainIncrement(volatile T* p) { T v = *p + 1; *p = v; return v; }
template <typename T> inline T TesmoPlainDecrement(volatile T* p) { T v = *p - 1; *p = v; return v; }
template <typename T, typename V> inline T TesmoPlainExchangeAdd(volatile T* p, V a) { T o = *p; *p = o + a; return o; }
template <typename T, typename V> inline T TesmoPlainExchange(volatile T* p, V v) { T o = *p; *p = (T)v; return o; }
template <typename T, typename V, typename C> inline T TesmoPlainCompareExchange(volatile T* p, V v, C c)
{ T o = *p; if (o == (T)c) *p = (T)v; return o; }
#define TesmoPlainExchangePointer TesmoPlainExchange
#define TesmoPlainCompareExchangePointer TesmoPlainCompareExchange
"""

ACQUIRE = re.compile(r"KeAcquireSpinLockRaiseToDpc\((?P<lock>[^;]*?)\)\s*;")
RELEASE = re.compile(r"KeReleaseSpinLock\((?P<lock>[^,]*),\s*(?P<irql>[^)]*)\)\s*;")
INTERLOCKED = re.compile(r"\bInterlocked(Increment|Decrement|ExchangeAdd|CompareExchangePointer|ExchangePointer|"
                         r"CompareExchange|Exchange)\(")


@dataclass
class Variant:
    kind: str
    path: str
    line: int  # 1-based, for the report
    what: str
    edit: object  # lines -> lines (or None when not applicable)
    label: str = ""
    outcome: str = ""
    detail: str = ""


def code(line):
    return line.split("//", 1)[0]


def statement_start(lines, end):
    """The first line of the statement that ends on line `end` (0-based)."""
    text = code(lines[end]).rstrip()
    if text.endswith("}"):
        depth = 0
        for i in range(end, -1, -1):
            depth += code(lines[i]).count("}") - code(lines[i]).count("{")
            if depth <= 0:
                j = i
                # An else or a closing brace before continues the statement.
                while j > 0 and code(lines[j]).strip().startswith(("} else", "else")):
                    j = statement_start(lines, j - 1) if code(lines[j - 1]).rstrip().endswith("}") else j - 1
                return j
        return end
    start = end
    while start > 0:
        before = code(lines[start - 1]).rstrip()
        if before == "" or before.endswith((";", "{", "}", ":")) or before.lstrip().startswith("#"):
            break
        start -= 1
    return start


def lock_variants(path, lines):
    variants = []
    for i, line in enumerate(lines):
        m = ACQUIRE.search(code(line))
        if not m:
            continue
        lock = m.group("lock").strip()
        releases = []
        for j in range(i + 1, len(lines)):
            if ACQUIRE.search(code(lines[j])) and ACQUIRE.search(code(lines[j])).group("lock").strip() == lock:
                break
            r = RELEASE.search(code(lines[j]))
            if r and r.group("lock").strip() == lock:
                releases.append(j)
                if "Queue.cpp" in path or code(lines[j + 1]).strip() == "}" and lines[j + 1].startswith("}"):
                    break
        if not releases:
            continue
        callback = "Queue.cpp" in path
        label = "queue lock callback made lockless" if callback else f"lock {lock} not taken"

        def removed(ls, i=i, releases=releases):
            ls = list(ls)
            ls[i] = ACQUIRE.sub("KeRaiseIrqlToDpcLevel();", ls[i])
            for j in releases:
                ls[j] = RELEASE.sub(lambda r: f"KeLowerIrql({r.group('irql').strip()});", ls[j])
            return ls

        variants.append(Variant("lock-removed", path, i + 1, label, removed))

        for j in releases:
            prev = j - 1
            while prev > i and code(lines[prev]).strip() == "":
                prev -= 1
            if prev <= i:
                continue
            start = statement_start(lines, prev)
            if start <= i:
                continue

            def early(ls, j=j, start=start):
                ls = list(ls)
                release = ls.pop(j)
                ls.insert(start, release)
                return ls

            variants.append(Variant("released-early", path, j + 1, f"release of {lock} one statement early", early))

        # Each test inside the critical section, evaluated before the lock.
        end = releases[-1]
        for k in range(i + 1, end):
            t = re.match(r"(\s*)(\}\s*else\s+)?if \((.*)\) \{\s*$", lines[k])
            if not t or t.group(2):
                continue
            condition = t.group(3)
            # Only a test of shared state: a request's own fields need no lock.
            if "DeviceExtension->" not in condition and "SerialSettings" not in condition:
                continue

            def hoisted(ls, i=i, k=k, condition=condition):
                ls = list(ls)
                indent = re.match(r"\s*", ls[i]).group(0)
                ls[k] = ls[k].replace(f"if ({condition})", "if (TesmoCheckedEarly)", 1)
                ls.insert(i, f"{indent}const bool TesmoCheckedEarly = ({condition});\n")
                return ls

            variants.append(Variant("checked-early", path, k + 1, f"test of ({condition}) before {lock}", hoisted))
    return variants


def interlocked_variants(path, lines):
    variants = []
    for i, line in enumerate(lines):
        for m in INTERLOCKED.finditer(code(line)):
            def plain(ls, i=i, start=m.start(), name=m.group(1)):
                ls = list(ls)
                text = ls[i]
                ls[i] = text[:start] + "TesmoPlain" + name + text[start + len("Interlocked" + name):]
                at = next((n + 1 for n, l in enumerate(ls) if l.startswith("#pragma once")), 0)
                ls.insert(at, '#include "TesmoPlainInterlocked.h"\n')
                return ls

            variants.append(Variant("interlocked-plain", path, i + 1, f"Interlocked{m.group(1)} done plainly", plain))
    return variants


def run(cmd, timeout, env=None):
    try:
        p = subprocess.run(cmd, cwd=TREE, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           timeout=timeout)
        return p.returncode, p.stdout
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode() if isinstance(e.stdout, bytes) else (e.stdout or "")
        return 124, out


def prepare(keep):
    if not os.path.isdir(TREE):
        os.makedirs(SCRATCH, exist_ok=True)
        subprocess.run(["git", "worktree", "add", "--detach", TREE, "HEAD"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
    else:
        subprocess.run(["git", "checkout", "--detach", "-f",
                        subprocess.run(["git", "rev-parse", "HEAD"], cwd=ROOT, text=True,
                                       stdout=subprocess.PIPE).stdout.strip()], cwd=TREE, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(os.path.join(TREE, "include", "TesmoPlainInterlocked.h"), "w") as f:
        f.write(PLAIN_SHIM)
    if not os.path.isfile(os.path.join(BUILD, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", TREE, "-B", BUILD, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DTESMO_SANITIZE=OFF",
                        "-DTESMO_BUILD_BENCH=OFF", "-DTESMO_WARNINGS_AS_ERRORS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j", "2", "--target", "tesmo_driver_race", "serial_port_tests",
                    "driver_tests", "tesmo-sim"], check=True, stdout=subprocess.DEVNULL)


def judge(variant, args):
    path = os.path.join(TREE, variant.path)
    with open(path) as f:
        pristine = f.readlines()
    try:
        with open(path, "w") as f:
            f.writelines(variant.edit(pristine))
        code_, out = run(["cmake", "--build", BUILD, "-j", "2", "--target", "tesmo_driver_race"], 600)
        if code_ != 0:
            variant.outcome = "does not build"
            return
        env = dict(os.environ, TESMO_DRIVER_IMAGE=os.path.join(BUILD, "src", "tesmo_driver_race.so"))
        tests_failed = False
        for suite in ("serial_port_tests", "driver_tests"):
            code_, out = run([os.path.join(BUILD, "tests", suite)], 600, env)
            m = FINDING.search(out)
            if m:
                variant.outcome = "reported"
                variant.detail = f"{m.group(1)} in {suite}"
                return
            tests_failed = tests_failed or code_ != 0
        code_, out = run([os.path.join(BUILD, "tools", "tesmo-sim"), "explore", "--time", str(args.explore_seconds),
                          "--seed", str(args.seed)], args.explore_seconds + 300, env)
        m = FINDING.search(out)
        if m:
            variant.outcome = "reported"
            variant.detail = f"{m.group(1)} by the controlled explorer"
        elif tests_failed or code_ != 0:
            variant.outcome = "caught by the tests only"
        else:
            variant.outcome = "NOT REPORTED"
    finally:
        with open(path, "w") as f:
            f.writelines(pristine)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--explore-seconds", type=int, default=20)
    parser.add_argument("--seed", type=int, default=424242)
    parser.add_argument("--only", default="")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()

    variants = []
    for source in SOURCES:
        with open(os.path.join(ROOT, source)) as f:
            lines = f.readlines()
        variants += lock_variants(source, lines) + interlocked_variants(source, lines)
    variants = [v for v in variants if args.only in f"{v.kind} {v.path}:{v.line} {v.what}"]
    if args.list:
        for v in variants:
            print(f"{v.kind:18} {v.path}:{v.line}  {v.what}")
        print(f"{len(variants)} variants")
        return 0

    prepare(args.keep)
    for n, v in enumerate(variants, 1):
        judge(v, args)
        print(f"[{n}/{len(variants)}] {v.outcome:24} {v.kind:18} {v.path}:{v.line}  {v.what}"
              + (f"  ({v.detail})" if v.detail else ""), flush=True)
    built = [v for v in variants if v.outcome != "does not build"]
    reported = [v for v in built if v.outcome == "reported"]
    print(f"\nrace self-check: {len(reported)} of {len(built)} variants reported by the detector"
          f" ({len(variants) - len(built)} did not build)")
    for v in built:
        if v.outcome != "reported":
            print(f"  {v.outcome}: {v.kind} {v.path}:{v.line} {v.what}")
    return 0 if len(reported) == len(built) else 1


if __name__ == "__main__":
    sys.exit(main())
