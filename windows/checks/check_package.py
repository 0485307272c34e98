#!/usr/bin/env python3
"""Checks a built kernel image and, optionally, the INF that installs it.

Usage:
  check_package.py --image build/windows/tesmo.sys --symbols build/windows/unstripped/tesmo.sys
                   [--inf build/windows/tesmo.inf] [--version-header include/Tesmo.h]
                   [--emulation-table host/nt/include/emu/Exports.def] [--objdump OBJDUMP]
                   [--list-imports]

Prints one line per check and exits 1 if any check fails.
"""

import argparse
import os
import sys

import export_table
import image_checks
import inf_checks
import inf_file
import pageable_calls


def run(arguments):
    image = image_checks.load_image(arguments.image)
    unstripped = image_checks.load_image(arguments.symbols)
    findings = image_checks.check_image(image, unstripped)
    if arguments.inf:
        version = inf_checks.driver_version_from_header(arguments.version_header) if arguments.version_header else None
        findings += inf_checks.check_inf(inf_file.read(arguments.inf), os.path.basename(arguments.image), version)
    if arguments.emulation_table:
        exports = export_table.read(arguments.emulation_table)
        findings.append(image_checks.check_emulated_imports(image, exports))
        findings.append(pageable_calls.check_pageable_calls(arguments.symbols, exports, arguments.objdump))
    label = os.path.basename(arguments.image)
    for finding in findings:
        print("%s: %s" % (label, finding))
    if arguments.list_imports:
        for module, names in image_checks.imports_by_module(image):
            print("%s: imports from %s: %s" % (label, module, " ".join(sorted(names))))
    return 0 if all(finding.passed for finding in findings) else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--image", required=True, help="the finished image")
    parser.add_argument("--symbols", required=True, help="the same image as linked, before stripping")
    parser.add_argument("--inf", help="the INF that installs the image")
    parser.add_argument("--version-header", help="the header that defines TESMO_VERSION, to compare with DriverVer")
    parser.add_argument("--emulation-table",
                        help="the emulation's export table: every import must be a routine it exports, "
                        "and pageable code may call none of those it marks RESIDENT")
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump",
                        help="the cross toolchain's objdump, to disassemble the pageable sections")
    parser.add_argument("--list-imports", action="store_true", help="also list every imported routine")
    arguments = parser.parse_args()
    try:
        return run(arguments)
    except (OSError, ValueError) as error:
        print("check_package: %s" % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
