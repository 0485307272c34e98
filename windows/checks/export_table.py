"""The emulation's export table, host/nt/include/emu/Exports.def, as Python data.

The table is an X-macro file that the emulated kernel compiles; this reads
its rows, EMU_EXPORT(module, routine, max IRQL, callers) and
EMU_HOST_C(...), with the same strictness: an unknown module, IRQL or callers
value, or a routine listed twice, is an error rather than a row skipped.
"""

import os
import re
from dataclasses import dataclass

REPOSITORY = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEFAULT_PATH = os.path.join(REPOSITORY, "host", "nt", "include", "emu", "Exports.def")

# The image a routine lives in on the platform; HEADER and EMULATION rows are
# in no image, so no import can match them.
MODULE_IMAGES = {"NTOSKRNL": "ntoskrnl.exe", "HAL": "HAL.dll", "USBD": "USBD.SYS", "HEADER": None, "EMULATION": None}
IRQLS = ("PASSIVE", "APC", "DISPATCH", "ANY")
CALLERS = ("PAGEABLE", "RESIDENT")

_ROW = re.compile(r"^(EMU_EXPORT|EMU_HOST_C)\((.*)\)\s*$")


@dataclass(frozen=True)
class Export:
    routine: str
    module: str          # NTOSKRNL, HAL, USBD, HEADER, EMULATION
    max_irql: str        # PASSIVE, APC, DISPATCH, ANY
    callers: str         # PAGEABLE, RESIDENT
    host_c: bool         # the host's C library provides it, not the emulation
    line: int

    @property
    def image(self):
        return MODULE_IMAGES[self.module]


def parse(text, name="Exports.def"):
    """{routine: Export} for every row of the table's text."""
    exports = {}
    for number, line in enumerate(text.splitlines(), start=1):
        match = _ROW.match(line.strip())
        if not match:
            continue
        fields = [field.strip() for field in match.group(2).split(",")]
        where = "%s:%d" % (name, number)
        if len(fields) != 4:
            raise ValueError("%s: %d columns, not 4: %s" % (where, len(fields), line.strip()))
        module, routine, max_irql, callers = fields
        for value, allowed, column in ((module, MODULE_IMAGES, "module"), (max_irql, IRQLS, "max IRQL"),
                                       (callers, CALLERS, "callers")):
            if value not in allowed:
                raise ValueError("%s: %s is no %s (%s)" % (where, value, column, ", ".join(allowed)))
        if routine in exports:
            raise ValueError("%s: %s is listed twice (also on line %d)" % (where, routine, exports[routine].line))
        exports[routine] = Export(routine, module, max_irql, callers, match.group(1) == "EMU_HOST_C", number)
    if not exports:
        raise ValueError("%s: no rows" % name)
    return exports


def read(path=DEFAULT_PATH):
    with open(path, encoding="utf-8") as table:
        return parse(table.read(), os.path.basename(path))
