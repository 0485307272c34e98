#!/usr/bin/env python3
"""Layout parity between the emulated kernel's headers and the platform's DDK.

The driver is built twice: against the emulated headers for the host and
against the x64 DDK that mingw-w64 ships for the shipped image. Both must see
the same structures and the same numbers, or the host tests test another
driver. This script finds every structure, union, field, enumerator and
numeric macro the emulated headers declare, writes one probe that records the
size, alignment and offset of each (and each constant's value) into a section
of its own, compiles it with the host compiler against the emulated headers
and with mingw-w64 against the DDK, reads both sections back from the object
files and fails on any difference. A field or macro the DDK lacks is a
difference too: the emulation keeps private state beside the platform's
objects, never inside them.

Nothing runs: the compilers compute every figure, the object files hold them.
"""
from __future__ import annotations

import argparse
import re
import struct
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
EMULATED_HEADERS = ROOT / "host" / "nt" / "ddk"
DDK_INCLUDE = Path("/usr/x86_64-w64-mingw32/include/ddk")
SECTION = ".tprobe"
ABSENT = 0xFFFFFFFFFFFFFFFE

# Names the emulated headers declare for themselves, not as the platform's:
# helpers of the emulation, macros that expand to attributes or types, and
# include guards.
OWN_NAME = re.compile(r"^(EMU_|Emu|TESMO_|_EMU)")
# Room the emulated headers keep for what they do not model: its size counts,
# its members are not the platform's.
ROOM = re.compile(r"(^|\.)EmuRoom")
NOT_A_VALUE = {
    "NTAPI", "NTKERNELAPI", "DECLSPEC_IMPORT", "FORCEINLINE", "IN", "OUT", "OPTIONAL", "CONST", "VOID",
    "POINTER_ALIGNMENT", "ANYSIZE_ARRAY_PLACEHOLDER",
}

# Object-like macros, each on one line: NAME then a value that starts like a
# number, a parenthesised expression, a negation or another name.
MACRO = re.compile(r"^#define\s+([A-Za-z_][A-Za-z0-9_]*)\s+([-~(0-9A-Za-z_].*)$")
ENUM = re.compile(r"typedef\s+enum\s+\w*\s*\{(.*?)\}", re.S)
RECORD = re.compile(r"typedef\s+(struct|union)\s+(_\w+)\s*\{")
TAGGED = re.compile(r"^struct\s+(_\w+)\s*\{", re.M)
ALIAS = re.compile(r"^\s*\}\s*([A-Za-z_]\w*)")


@dataclass(frozen=True)
class Probe:
    label: str      # what the figure is, as printed
    expression: str  # C++ constant expression of type unsigned long long


def strip_comments(text: str) -> str:
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def matching_brace(text: str, open_index: int) -> int:
    depth = 0
    for index in range(open_index, len(text)):
        if text[index] == "{":
            depth += 1
        elif text[index] == "}":
            depth -= 1
            if depth == 0:
                return index
    raise ValueError("unbalanced braces")


def member_paths(body: str, prefix: str = "") -> list[str]:
    """Dotted paths of every named member of a structure body, anonymous
    members flattened into their parent as the language does."""
    paths: list[str] = []
    index = 0
    while index < len(body):
        brace = body.find("{", index)
        semicolon = body.find(";", index)
        if semicolon < 0:
            break
        if 0 <= brace < semicolon:
            close = matching_brace(body, brace)
            end = body.find(";", close)
            name = body[close + 1:end].strip()
            inner = body[brace + 1:close]
            if name and re.fullmatch(r"\w+", name):
                paths.append(prefix + name)
                paths += member_paths(inner, prefix + name + ".")
            else:
                paths += member_paths(inner, prefix)
            index = end + 1
            continue
        declaration = body[index:semicolon].strip()
        index = semicolon + 1
        if not declaration or ":" in declaration:  # bit-fields have no offset
            continue
        pointer_to_function = re.search(r"\(\s*\*\s*(\w+)\s*\)", declaration)
        if pointer_to_function:
            paths.append(prefix + pointer_to_function.group(1))
            continue
        for declarator in declaration.split(","):
            words = re.findall(r"[A-Za-z_]\w*", declarator.split("[")[0])
            if words:
                paths.append(prefix + words[-1])
    return paths


def record_paths(text: str, open_index: int, close: int) -> list[str]:
    return [path for path in member_paths(text[open_index + 1:close]) if not ROOM.search(path)]


def discover(headers: list[Path]) -> tuple[list[tuple[str, list[str]]], list[str], list[str]]:
    records: list[tuple[str, list[str]]] = []
    enumerators: list[str] = []
    macros: list[str] = []
    for header in headers:
        raw = header.read_text()
        for line in raw.splitlines():
            match = MACRO.match(line.strip())
            if match and not OWN_NAME.match(match.group(1)) and match.group(1) not in NOT_A_VALUE:
                value = match.group(2).strip()
                # Another routine's name is an alias, not a value.
                routine_alias = re.fullmatch(r"[A-Z][a-z]\w*", value)
                if not value.startswith('"') and not value.startswith("L\"") and not routine_alias:
                    macros.append(match.group(1))
        text = strip_comments(raw)
        for match in ENUM.finditer(text):
            for item in match.group(1).split(","):
                name = item.split("=")[0].strip()
                if name and not OWN_NAME.match(name):
                    enumerators.append(name)
        for match in RECORD.finditer(text):
            close = matching_brace(text, match.end() - 1)
            alias = ALIAS.match(text[close:])
            if alias and not OWN_NAME.match(alias.group(1)):
                records.append((alias.group(1), record_paths(text, match.end() - 1, close)))
        for match in TAGGED.finditer(text):
            close = matching_brace(text, match.end() - 1)
            records.append((match.group(1), record_paths(text, match.end() - 1, close)))
    return records, enumerators, macros


def probes(records, enumerators, macros, extra_types) -> list[Probe]:
    result: list[Probe] = []
    for name, paths in records + [(t, []) for t in extra_types]:
        result.append(Probe(f"sizeof({name})", f"sizeof({name})"))
        result.append(Probe(f"alignof({name})", f"alignof({name})"))
        for path in paths:
            result.append(Probe(f"offsetof({name}, {path})", f"TESMO_PROBE_OFFSET({name}, {path})"))
            result.append(Probe(f"sizeof({name}.{path})", f"TESMO_PROBE_SIZE({name}, {path})"))
    for name in enumerators:
        result.append(Probe(name, f"(unsigned long long)({name})"))
    for name in macros:
        result.append(Probe(name, f"TESMO_PROBE_MACRO_{len(result)}"))
    return result


def probe_source(items: list[Probe], macros: list[str]) -> str:
    lines = [
        "// Generated: one figure per line of the layout check's list.",
        '#include "Platform.h"',
        '#include "DeviceExtension.h"',
        "#include <stddef.h>",
        f"#define TESMO_PROBE_ABSENT {ABSENT:#x}ULL",
        "#define TESMO_PROBE_OFFSET(Type, Path) \\",
        "    []<class T = Type>() constexpr -> unsigned long long { \\",
        "        if constexpr (requires(T t) { t.Path; }) return offsetof(T, Path); \\",
        "        else return TESMO_PROBE_ABSENT; }()",
        "#define TESMO_PROBE_SIZE(Type, Path) \\",
        "    []<class T = Type>() constexpr -> unsigned long long { \\",
        "        if constexpr (requires(T t) { t.Path; }) return sizeof(((T*)nullptr)->Path); \\",
        "        else return TESMO_PROBE_ABSENT; }()",
    ]
    first_macro = len(items) - len(macros)
    for offset, name in enumerate(macros):
        probe_name = f"TESMO_PROBE_MACRO_{first_macro + offset}"
        lines += [f"#ifdef {name}", f"#define {probe_name} ((unsigned long long)({name}))", "#else",
                  f"#define {probe_name} TESMO_PROBE_ABSENT", "#endif"]
    lines.append(f'extern "C" __attribute__((section("{SECTION}"), used)) const unsigned long long TesmoLayoutProbe[] = {{')
    lines += [f"    {item.expression}," for item in items]
    lines.append("};")
    return "\n".join(lines) + "\n"


def compile_and_read(compiler: list[str], objcopy: str, source: Path, work: Path, tag: str) -> list[int]:
    obj = work / f"{tag}.o"
    raw = work / f"{tag}.bin"
    subprocess.run(compiler + ["-c", str(source), "-o", str(obj)], check=True)
    subprocess.run([objcopy, "-O", "binary", f"--only-section={SECTION}", str(obj), str(raw)], check=True)
    data = raw.read_bytes()
    return list(struct.unpack(f"<{len(data) // 8}Q", data))


def describe(value: int) -> str:
    return "absent" if value == ABSENT else str(value) if value < 1 << 32 else hex(value)


def compare(emulated_headers: Path, work: Path) -> tuple[list[tuple[Probe, int, int]], str]:
    """Every figure with its emulated and platform value, and a summary."""
    records, enumerators, macros = discover(sorted(emulated_headers.glob("emu_*.h")))
    items = probes(records, enumerators, macros, ["DEVICE_EXTENSION"])
    work.mkdir(parents=True, exist_ok=True)
    source = work / "layout_probe.cpp"
    source.write_text(probe_source(items, macros))

    common = ["-std=c++20", "-fno-exceptions", "-fno-rtti", "-w", f"-I{ROOT / 'include'}"]
    host = compile_and_read(["g++"] + common + [f"-I{emulated_headers}", f"-I{ROOT / 'host' / 'nt' / 'include'}"],
                            "objcopy", source, work, "host")
    platform = compile_and_read(["x86_64-w64-mingw32-g++"] + common +
                                ["-isystem", str(DDK_INCLUDE), "-D_WIN32_WINNT=0x0A00", "-DNTDDI_VERSION=0x0A000000"],
                                "x86_64-w64-mingw32-objcopy", source, work, "platform")
    # A COFF section may be padded to its alignment.
    if len(host) < len(items) or len(platform) < len(items):
        raise RuntimeError(f"expected {len(items)} figures, read {len(host)} and {len(platform)}")
    figures = list(zip(items, host[:len(items)], platform[:len(items)]))
    differing = sum(ours != theirs for _, ours, theirs in figures)
    summary = (f"{len(records) + 1} types, {len(enumerators) + len(macros)} constants, "
               f"{len(items)} figures, {differing} differ")
    return figures, summary


def report(item: Probe, ours: int, theirs: int) -> str:
    mark = "same" if ours == theirs else "DIFF"
    return f"{mark} {item.label}: emulated {describe(ours)}, platform {describe(theirs)}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", type=Path, help="keep the probe and object files here")
    parser.add_argument("--list", action="store_true", help="print every figure, not only differences")
    arguments = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="layout-parity-") as scratch:
        figures, summary = compare(EMULATED_HEADERS, arguments.work or Path(scratch))
    for item, ours, theirs in figures:
        if arguments.list or ours != theirs:
            print(report(item, ours, theirs))
    print(f"layout-parity: {summary}")
    return 1 if any(ours != theirs for _, ours, theirs in figures) else 0


if __name__ == "__main__":
    sys.exit(main())
