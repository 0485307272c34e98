"""Symbols of a linked, unstripped PE image, read from its COFF symbol table.

The finished image carries no symbols; the checker takes DriverEntry's address
and the bounds of the static-constructor list from the image as linked, whose
layout is the same (stripping removes only the debug sections at the end).
"""

import struct

_SYMBOL_SIZE = 18


class SymbolTableError(Exception):
    pass


def read_symbols(pe):
    """Maps each defined symbol name to its RVA. pe is a pefile.PE of the
    unstripped image."""
    data = pe.__data__
    table = pe.FILE_HEADER.PointerToSymbolTable
    count = pe.FILE_HEADER.NumberOfSymbols
    if table == 0 or count == 0:
        raise SymbolTableError("the image has no symbol table (was it stripped?)")
    strings = table + count * _SYMBOL_SIZE
    symbols = {}
    index = 0
    while index < count:
        record = table + index * _SYMBOL_SIZE
        raw_name, value, section_number, _, _, aux_count = struct.unpack_from("<8sIhHBB", data, record)
        if raw_name[:4] == b"\0\0\0\0":
            start = strings + struct.unpack_from("<I", raw_name, 4)[0]
            name = bytes(data[start:data.find(b"\0", start)])
        else:
            name = raw_name.rstrip(b"\0")
        # Section numbers count from 1; 0 is undefined, negative are absolute or
        # debug. Names starting with a dot are the sections' own symbols.
        if 0 < section_number <= len(pe.sections) and not name.startswith(b"."):
            symbols[name.decode("ascii", "replace")] = pe.sections[section_number - 1].VirtualAddress + value
        index += 1 + aux_count
    return symbols
