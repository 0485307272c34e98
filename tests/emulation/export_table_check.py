#!/usr/bin/env python3
"""The export table (host/nt/include/emu/Exports.def) against the host build:

- every C routine the emulation's libraries export is a row, and every
  EMU_EXPORT row is a routine they export;
- every EMU_EXPORT row opens with its prologue, EMU_ENTRY, exactly once in
  the host's sources;
- the driver image imports nothing from the host but rows of the table (and
  the toolchain's own run-time: reserved names, as the sanitizers').

Usage: export_table_check.py --nm NM --driver tesmo_driver.so
                             --emulation libtesmo_nt.so libtesmo_usbd.so --sources host/
Prints what does not match and exits 1, or prints a summary and exits 0.
"""

import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "windows", "checks"))
import export_table  # noqa: E402

ENTRY = re.compile(r"\bEMU_ENTRY\((\w+)")
# Symbols every shared object defines, and the names reserved to the toolchain.
LINKER_SYMBOLS = {"_init", "_fini"}


def dynamic_symbols(nm, library, which):
    output = subprocess.run([nm, "-D", which, library], check=True, capture_output=True, text=True).stdout
    symbols = set()
    for line in output.splitlines():
        fields = line.split()
        if len(fields) >= 2 and (which == "--undefined-only" or fields[-2] in ("T", "W", "i")):
            symbols.add(fields[-1].split("@")[0])
    return symbols


def toolchain_name(name):
    return name.startswith("__") or name.startswith("_ITM_") or name.startswith("_Z") or name in LINKER_SYMBOLS


def prologues(sources):
    counts = {}
    for folder, _, files in os.walk(sources):
        for file_name in files:
            if file_name.endswith(".cpp"):
                with open(os.path.join(folder, file_name), encoding="utf-8") as source:
                    for routine in ENTRY.findall(source.read()):
                        counts[routine] = counts.get(routine, 0) + 1
    return counts


def problems(exports, exported, imported, entries):
    emulated = {name for name, export in exports.items() if not export.host_c}
    exported_c = {name for name in exported if not toolchain_name(name)}
    found = []
    found += ["%s: exported by the emulation but not in the table" % name for name in sorted(exported_c - emulated)]
    found += ["%s: in the table but not exported by the emulation" % name for name in sorted(emulated - exported)]
    found += ["%s: %d EMU_ENTRY prologues in the host's sources, not 1" % (name, entries.get(name, 0))
              for name in sorted(emulated) if entries.get(name, 0) != 1]
    found += ["%s: EMU_ENTRY of a routine the table lacks" % name for name in sorted(set(entries) - emulated)]
    found += ["%s: imported by the driver but not in the table" % name
              for name in sorted(imported) if name not in exports and not toolchain_name(name)]
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nm", default="nm")
    parser.add_argument("--driver", required=True)
    parser.add_argument("--emulation", required=True, nargs="+")
    parser.add_argument("--sources", required=True)
    arguments = parser.parse_args()
    exports = export_table.read()
    exported = set().union(*(dynamic_symbols(arguments.nm, library, "--defined-only")
                             for library in arguments.emulation))
    imported = dynamic_symbols(arguments.nm, arguments.driver, "--undefined-only")
    found = problems(exports, exported, imported, prologues(arguments.sources))
    for problem in found:
        print("export table: %s" % problem)
    if found:
        return 1
    print("export table: %d rows; the emulation exports each EMU_EXPORT row, with its prologue, and the driver "
          "imports %d of them" % (len(exports), len(imported & set(exports))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
