"""Pageable code must not call a routine that leaves its caller at
DISPATCH_LEVEL (acquiring a spin lock, raising the IRQL): the code after the
call would run at DISPATCH_LEVEL from a section the memory manager may have
paged out, which stops the machine. The emulation's export table marks those
routines RESIDENT.

The check disassembles the PAGE sections of the image as linked (it keeps its
symbols) and fails on every direct call or jump from them to a RESIDENT
routine, naming the function that makes it. A routine inlined into a pageable
caller counts as that caller's code, as it is.
"""

import re
import subprocess

import pefile

from findings import failed, passed

_FUNCTION = re.compile(r"^[0-9a-f]+ <([^>]+)>:$")
# "call *0x5ec5(%rip)  # 0x140008100 <__imp_KeAcquireSpinLockRaiseToDpc>" or
# "call 0x140001234 <KeReleaseSpinLock>": the target symbol ends the line.
_TRANSFER = re.compile(r"\s(?:call|jmp)\w*\s.*<(?:__imp_)?([A-Za-z_][\w@]*)(?:\+0x[0-9a-f]+)?>\s*$")


def pageable_sections(path):
    pe = pefile.PE(path, fast_load=True)
    names = [section.Name.rstrip(b"\0").decode("ascii", "replace") for section in pe.sections]
    return [name for name in names if name.startswith("PAGE")]


def resident_calls(listing, resident):
    """{function: sorted routines} for the calls and jumps in an objdump
    listing whose target is one of `resident`."""
    calls = {}
    function = "(before any symbol)"
    for line in listing.splitlines():
        header = _FUNCTION.match(line)
        if header:
            function = header.group(1)
            continue
        transfer = _TRANSFER.search(line)
        if transfer and transfer.group(1) in resident:
            calls.setdefault(function, set()).add(transfer.group(1))
    return {function: sorted(routines) for function, routines in calls.items()}


def check_pageable_calls(unstripped_path, exports, objdump):
    """`exports` is export_table.read()'s answer; `objdump` the cross
    toolchain's objdump."""
    resident = {name for name, export in exports.items() if export.callers == "RESIDENT"}
    sections = pageable_sections(unstripped_path)
    if not sections:
        return passed("pageable-calls", "the image has no pageable code")
    arguments = [objdump, "--disassemble", "--no-show-raw-insn"]
    for section in sections:
        arguments += ["--section", section]
    try:
        listing = subprocess.run(arguments + [unstripped_path], check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        return failed("pageable-calls", "could not disassemble the pageable sections: %s" % error)
    calls = resident_calls(listing, resident)
    if calls:
        return failed("pageable-calls", "pageable code calls routines that leave it at DISPATCH_LEVEL: %s" %
                      "; ".join("%s calls %s" % (function, ", ".join(routines))
                                for function, routines in sorted(calls.items())))
    return passed("pageable-calls", "no pageable code (%s) calls a routine that raises to DISPATCH_LEVEL" %
                  ", ".join(sections))
