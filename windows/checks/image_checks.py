"""Checks that a finished image is what the Windows kernel's loader can load
as a WDM driver, and that nothing in it needs a run-time the kernel lacks.

check_image(image, symbols) takes two pefile.PE objects: the finished image
and the same image as linked, before stripping, for its symbols.
"""

import struct

import pefile

from coff_symbols import SymbolTableError, read_symbols
from findings import failed, passed

KERNEL_MODULES = ("ntoskrnl.exe", "HAL.dll", "USBD.SYS")

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_NT_OPTIONAL_HDR64_MAGIC = 0x20B
IMAGE_SUBSYSTEM_NATIVE = 1
IMAGE_DLLCHARACTERISTICS_WDM_DRIVER = 0x2000
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_NOT_PAGED = 0x08000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
DIRECTORY_TLS = 9
DIRECTORY_DELAY_IMPORT = 13
_MAX_CONSTRUCTORS = 4096  # a list without its terminator is read no further


def section_name(section):
    return section.Name.rstrip(b"\0").decode("ascii", "replace")


def section_at(pe, rva):
    for section in pe.sections:
        if section.VirtualAddress <= rva < section.VirtualAddress + max(section.Misc_VirtualSize, 1):
            return section
    return None


def imports_by_module(pe):
    """[(module name, [imported names])] in the order of the import directory."""
    modules = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = [item.name.decode("ascii", "replace") if item.name else "#%d" % item.ordinal
                 for item in entry.imports]
        modules.append((entry.dll.decode("ascii", "replace"), names))
    return modules


def check_format(pe, symbols):
    machine = pe.FILE_HEADER.Machine
    magic = pe.OPTIONAL_HEADER.Magic
    if machine != IMAGE_FILE_MACHINE_AMD64 or magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC:
        return failed("format", "machine 0x%04x, optional header 0x%03x: not a PE32+ image for x64" % (machine, magic))
    return passed("format", "PE32+ image for x64")


def check_subsystem(pe, symbols):
    subsystem = pe.OPTIONAL_HEADER.Subsystem
    if subsystem != IMAGE_SUBSYSTEM_NATIVE:
        return failed("subsystem", "subsystem %d: a kernel image needs the native subsystem (1)" % subsystem)
    return passed("subsystem", "native subsystem")


def check_wdm_driver(pe, symbols):
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    if not flags & IMAGE_DLLCHARACTERISTICS_WDM_DRIVER:
        return failed("wdm-driver", "DllCharacteristics 0x%04x lacks WDM_DRIVER (0x2000)" % flags)
    return passed("wdm-driver", "DllCharacteristics 0x%04x has WDM_DRIVER" % flags)


def check_relocatable(pe, symbols):
    # The kernel loads drivers wherever it has room; an image whose
    # relocations were stripped can only load at its preferred base.
    if pe.FILE_HEADER.Characteristics & IMAGE_FILE_RELOCS_STRIPPED:
        return failed("relocatable", "relocations stripped: the kernel could not move the image")
    return passed("relocatable", "relocations kept")


def check_checksum(pe, symbols):
    stored = pe.OPTIONAL_HEADER.CheckSum
    actual = pe.generate_checksum()
    if stored != actual:
        return failed("checksum", "stored checksum 0x%08x, the file sums to 0x%08x" % (stored, actual))
    return passed("checksum", "checksum 0x%08x" % stored)


def check_entry_point(pe, symbols):
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    where = section_at(pe, entry)
    where_name = section_name(where) if where else "no section"
    if "DriverEntry" not in symbols:
        mangled = sorted(name for name in symbols if name.startswith("_Z") and "DriverEntry" in name)
        if mangled:
            return failed("entry-point", "DriverEntry has C++ linkage (%s); declare it extern \"C\". "
                          "The entry point 0x%x is the start of %s, not DriverEntry" % (", ".join(mangled), entry,
                                                                                       where_name))
        return failed("entry-point", "no DriverEntry symbol; the entry point 0x%x is in %s" % (entry, where_name))
    driver_entry = symbols["DriverEntry"]
    if entry != driver_entry:
        return failed("entry-point", "the entry point 0x%x is not DriverEntry (0x%x)" % (entry, driver_entry))
    if where_name != "INIT":
        return failed("entry-point", "DriverEntry (0x%x) lies in %s, not in the discardable INIT section" %
                      (entry, where_name))
    return passed("entry-point", "the entry point 0x%x is DriverEntry, in INIT" % entry)


def check_imports(pe, symbols):
    modules = imports_by_module(pe)
    if not modules:
        return failed("imports", "the image imports nothing: a driver that calls no kernel routine is not this one")
    allowed = {module.lower() for module in KERNEL_MODULES}
    foreign = ["%s (%s)" % (module, ", ".join(names)) for module, names in modules if module.lower() not in allowed]
    if foreign:
        return failed("imports", "imports from %s; only %s may be imported" %
                      ("; ".join(foreign), ", ".join(KERNEL_MODULES)))
    return passed("imports", "imports only from %s" % ", ".join(module for module, _ in modules))


def check_import_names(pe, symbols):
    mangled = ["%s!%s" % (module, name) for module, names in imports_by_module(pe) for name in names
               if name.startswith("_Z")]
    if mangled:
        return failed("import-names", "C++ mangled imports (declared without extern \"C\"): %s" % ", ".join(mangled))
    return passed("import-names", "no C++ mangled import")


def check_emulated_imports(pe, exports):
    """Every import is a routine the host emulation exports, under the image
    the export table names for it: the driver that builds into this image
    must also load against the emulated kernel. `exports` is
    export_table.read()'s answer. Not one of IMAGE_CHECKS: it holds for the
    driver's package image, not for every image the kernel could load."""
    missing = []
    misplaced = []
    count = 0
    for module, names in imports_by_module(pe):
        for name in names:
            count += 1
            export = exports.get(name)
            if export is None:
                missing.append("%s!%s" % (module, name))
            elif (export.image or "").lower() != module.lower():
                misplaced.append("%s!%s (the table has it under %s)" % (module, name, export.module))
    problems = []
    if missing:
        problems.append("not exported by the emulation: %s" % ", ".join(missing))
    if misplaced:
        problems.append("imported from another module than the export table says: %s" % ", ".join(misplaced))
    if problems:
        return failed("emulated-imports", "; ".join(problems))
    return passed("emulated-imports", "all %d imports are in the emulation's export table" % count)


def check_delay_imports(pe, symbols):
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DIRECTORY_DELAY_IMPORT]
    if directory.Size:
        return failed("delay-imports", "a delay-load import directory: the kernel's loader does not delay-load")
    return passed("delay-imports", "no delay-load imports")


def static_constructors(pe, symbols):
    """Addresses in the linker's constructor list: -1, the entries, 0."""
    start = symbols.get("__CTOR_LIST__")
    if start is None:
        return None
    entries = []
    offset = start + 8
    for _ in range(_MAX_CONSTRUCTORS):
        value, = struct.unpack("<Q", pe.get_data(offset, 8))
        if value == 0:
            break
        entries.append(value)
        offset += 8
    return entries


def check_static_constructors(pe, symbols):
    sections = [section_name(section) for section in pe.sections
                if section_name(section) in (".ctors", ".init_array", ".CRT")]
    if sections:
        return failed("static-constructors", "sections %s hold initialisers that nothing runs in the kernel" %
                      ", ".join(sections))
    entries = static_constructors(pe, symbols)
    if entries is None:
        return failed("static-constructors", "no __CTOR_LIST__ symbol: cannot tell whether constructors are listed")
    if entries:
        by_address = {rva + pe.OPTIONAL_HEADER.ImageBase: name for name, rva in symbols.items()}
        names = [by_address.get(address, "0x%x" % address) for address in entries]
        return failed("static-constructors", "global objects with constructors that never run in the kernel: %s" %
                      ", ".join(names))
    return passed("static-constructors", "no static constructors")


def check_tls(pe, symbols):
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DIRECTORY_TLS]
    tls_sections = [section_name(section) for section in pe.sections if section_name(section) == ".tls"]
    if directory.Size or tls_sections:
        return failed("tls", "a TLS directory (thread-local data): kernel images cannot have one")
    return passed("tls", "no TLS directory")


def section_problem(section):
    name = section_name(section)
    flags = section.Characteristics
    if flags & IMAGE_SCN_MEM_WRITE and flags & IMAGE_SCN_MEM_EXECUTE:
        return "%s is writable and executable" % name
    if name == "INIT":
        if not flags & IMAGE_SCN_MEM_DISCARDABLE:
            return "INIT is not discardable (0x%08x)" % flags
        if flags & IMAGE_SCN_MEM_NOT_PAGED:
            return "INIT is marked non-paged (0x%08x)" % flags
    elif name.startswith("PAGE"):
        if flags & (IMAGE_SCN_MEM_NOT_PAGED | IMAGE_SCN_MEM_DISCARDABLE):
            return "%s is not plain pageable (0x%08x)" % (name, flags)
    elif not flags & (IMAGE_SCN_MEM_NOT_PAGED | IMAGE_SCN_MEM_DISCARDABLE):
        return "%s is neither marked non-paged nor discardable (0x%08x)" % (name, flags)
    return None


def check_sections(pe, symbols):
    problems = [problem for problem in map(section_problem, pe.sections) if problem]
    if problems:
        return failed("sections", "; ".join(problems))
    summary = ", ".join("%s 0x%08x" % (section_name(section), section.Characteristics) for section in pe.sections)
    return passed("sections", summary)


IMAGE_CHECKS = (
    check_format,
    check_subsystem,
    check_wdm_driver,
    check_relocatable,
    check_checksum,
    check_entry_point,
    check_imports,
    check_import_names,
    check_delay_imports,
    check_static_constructors,
    check_tls,
    check_sections,
)


def load_image(path):
    return pefile.PE(path, fast_load=False)


def check_image(image, unstripped):
    """Runs every check; returns the findings, one per check."""
    try:
        symbols = read_symbols(unstripped)
    except SymbolTableError as error:
        symbols = {}
        symbol_problem = str(error)
    else:
        symbol_problem = None
    if symbol_problem is None and not same_layout(image, unstripped):
        symbol_problem = "the unstripped image's layout differs from the finished image's: a stale build?"
    findings = [check(image, symbols) for check in IMAGE_CHECKS]
    if symbol_problem:
        findings.append(failed("symbols", symbol_problem))
    return findings


def same_layout(image, unstripped):
    """Stripping removes only the trailing debug sections; everything the
    symbols point into stays where it was."""
    def loaded(pe):
        return [(section_name(section), section.VirtualAddress) for section in pe.sections
                if not section_name(section).startswith("/") and not section_name(section).startswith(".debug")]
    return (image.OPTIONAL_HEADER.AddressOfEntryPoint == unstripped.OPTIONAL_HEADER.AddressOfEntryPoint
            and loaded(image) == loaded(unstripped))
