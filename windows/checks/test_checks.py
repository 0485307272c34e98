#!/usr/bin/env python3
"""Tests of the built driver package and of the checker itself: the real
images pass, and images or INFs broken in one known way fail exactly the check
that names that fault.

Usage: test_checks.py --build DIR --traced-build DIR --repro-build DIR
  --build        the default build, configured with TESMO_BUILD_PROBES=ON
  --traced-build a clean build with TESMO_TRACE_TO_DEBUGGER=ON
  --repro-build  a second clean build of the default image, configured with
                 TESMO_HARDWARE_ID=USB\\VID_1234&PID_5678
"""

import argparse
import os
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

import pefile

import export_table
import image_checks
import inf_checks
import inf_file
import layout_parity

REPOSITORY = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SOURCE_INF = os.path.join(REPOSITORY, "windows", "tesmo.inf")
VERSION_HEADER = os.path.join(REPOSITORY, "include", "Tesmo.h")
REPRO_HARDWARE_ID = "USB\\VID_1234&PID_5678"

builds = {}


def image_paths(build, name, subdirectory=""):
    folder = os.path.join(builds[build], subdirectory)
    return os.path.join(folder, name + ".sys"), os.path.join(folder, "unstripped", name + ".sys")


def load(build, name, subdirectory=""):
    image, unstripped = image_paths(build, name, subdirectory)
    return image_checks.load_image(image), image_checks.load_image(unstripped)


def failures(findings):
    return {finding.check: finding.message for finding in findings if not finding.passed}


def imported_names(pe):
    return {name for _, names in image_checks.imports_by_module(pe) for name in names}


class DriverImageTest(unittest.TestCase):
    def test_both_trace_variants_pass_every_check_with_their_inf(self):
        version = inf_checks.driver_version_from_header(VERSION_HEADER)
        for build in ("default", "traced"):
            with self.subTest(build=build):
                findings = image_checks.check_image(*load(build, "tesmo"))
                findings += inf_checks.check_inf(inf_file.read(os.path.join(builds[build], "tesmo.inf")),
                                                 "tesmo.sys", version)
                self.assertEqual(failures(findings), {})

    def test_only_the_traced_variant_reaches_the_debugger(self):
        default, _ = load("default", "tesmo")
        traced, _ = load("traced", "tesmo")
        self.assertNotIn("DbgPrintEx", imported_names(default))
        self.assertIn("DbgPrintEx", imported_names(traced))

    def test_two_clean_builds_are_byte_identical(self):
        with open(image_paths("default", "tesmo")[0], "rb") as first, \
                open(image_paths("repro", "tesmo")[0], "rb") as second:
            self.assertTrue(first.read() == second.read(), "tesmo.sys differs between two clean builds")

    def test_the_package_inf_carries_the_configured_hardware_id(self):
        inf = inf_file.read(os.path.join(builds["repro"], "tesmo.inf"))
        findings = inf_checks.check_inf(inf, "tesmo.sys")
        self.assertEqual(failures(findings), {})
        hardware_ids = [hardware_id for _, devices in inf_checks.models(inf)
                        for _, ids in devices for hardware_id in ids]
        self.assertEqual(hardware_ids, [REPRO_HARDWARE_ID])
        models = next(finding for finding in findings if finding.check == "inf-models")
        self.assertNotIn("placeholder", models.message)


class BrokenProbeTest(unittest.TestCase):
    def test_the_correct_probe_passes_and_keeps_pageable_code_apart(self):
        image, unstripped = load("default", "probe_good", "probes")
        self.assertEqual(failures(image_checks.check_image(image, unstripped)), {})
        flags = {image_checks.section_name(section): section.Characteristics for section in image.sections}
        resident_or_discardable = image_checks.IMAGE_SCN_MEM_NOT_PAGED | image_checks.IMAGE_SCN_MEM_DISCARDABLE
        self.assertEqual(flags["PAGE"] & resident_or_discardable, 0)
        self.assertTrue(flags["INIT"] & image_checks.IMAGE_SCN_MEM_DISCARDABLE)
        self.assertTrue(flags[".text"] & image_checks.IMAGE_SCN_MEM_NOT_PAGED)

    def test_each_broken_probe_fails_exactly_its_check(self):
        cases = [
            ("extra_import", "imports", "KERNEL32.dll (GetTickCount)"),
            ("mangled_entry", "entry-point", "C++ linkage (_Z11DriverEntry"),
            ("mangled_import", "import-names", "ntoskrnl.exe!_Z17TesmoProbeRoutinev"),
            ("static_constructor", "static-constructors", "_GLOBAL__sub_I_GlobalCounter"),
            ("tls_directory", "tls", "TLS directory"),
        ]
        for probe, check, fragment in cases:
            with self.subTest(probe=probe):
                found = failures(image_checks.check_image(*load("default", "probe_" + probe, "probes")))
                self.assertEqual(set(found), {check})
                self.assertIn(fragment, found[check])


class EmulatedImportsTest(unittest.TestCase):
    """Every import of the package's image is a routine the host emulation
    exports (its export table, host/nt/include/emu/Exports.def)."""

    @classmethod
    def setUpClass(cls):
        cls.exports = export_table.read()

    def emulation_failure(self, build, name, subdirectory="", exports=None):
        image, _ = load(build, name, subdirectory)
        finding = image_checks.check_emulated_imports(image, exports if exports is not None else self.exports)
        return None if finding.passed else finding.message

    def test_both_package_images_and_the_correct_probe_import_only_emulated_routines(self):
        self.assertIsNone(self.emulation_failure("default", "tesmo"))
        # The traced image's DbgPrintEx feeds the emulation's trace sink.
        self.assertIsNone(self.emulation_failure("traced", "tesmo"))
        self.assertIsNone(self.emulation_failure("default", "probe_good", "probes"))

    def test_each_image_outside_the_emulation_fails_naming_the_import(self):
        with open(export_table.DEFAULT_PATH, encoding="utf-8") as table:
            moved = export_table.parse(table.read().replace("EMU_EXPORT(NTOSKRNL,  ExFreePool,",
                                                            "EMU_EXPORT(HAL,       ExFreePool,"))
        cases = [
            # The probe's one fault: every other check passes it (below).
            ("a routine the emulation lacks", "default", "probe_unemulated_import", "probes", self.exports,
             "not exported by the emulation: ntoskrnl.exe!KeQueryActiveProcessorCount"),
            ("a table that puts a routine in another module", "default", "tesmo", "", moved,
             "imported from another module than the export table says: "
             "ntoskrnl.exe!ExFreePool (the table has it under HAL)"),
        ]
        for label, build, name, subdirectory, exports, expected in cases:
            with self.subTest(case=label):
                self.assertEqual(self.emulation_failure(build, name, subdirectory, exports), expected)
        self.assertEqual(failures(image_checks.check_image(*load("default", "probe_unemulated_import", "probes"))),
                         {})

    def test_a_malformed_row_is_an_error(self):
        for text, fragment in [("EMU_EXPORT(NTOSKRNL, KeBugCheck, HIGH, PAGEABLE)", "HIGH is no max IRQL"),
                               ("EMU_EXPORT(NTOSKRNL, KeBugCheck, ANY)", "3 columns"),
                               ("EMU_EXPORT(NTOSKRNL, A, ANY, PAGEABLE)\nEMU_HOST_C(NTOSKRNL, A, ANY, PAGEABLE)",
                                "A is listed twice")]:
            with self.subTest(text=text):
                with self.assertRaisesRegex(ValueError, fragment):
                    export_table.parse(text)


def section(pe, name):
    return next(candidate for candidate in pe.sections if image_checks.section_name(candidate) == name)


class HeaderFaultTest(unittest.TestCase):
    """The correct probe with one header field wrong (and, except where the
    checksum is the fault, a checksum that matches)."""

    def check_mutated(self, mutate, keep_checksum=False):
        image_path, unstripped_path = image_paths("default", "probe_good", "probes")
        pe = pefile.PE(image_path)
        mutate(pe)
        if not keep_checksum:
            pe.OPTIONAL_HEADER.CheckSum = pefile.PE(data=pe.write()).generate_checksum()
        mutated = pefile.PE(data=pe.write())
        return failures(image_checks.check_image(mutated, image_checks.load_image(unstripped_path)))

    def test_each_header_fault_fails_exactly_its_check(self):
        def set_flags(name, set_bits=0, clear_bits=0):
            def mutate(pe):
                target = section(pe, name)
                target.Characteristics = (target.Characteristics | set_bits) & ~clear_bits
            return mutate

        def set_header(header, field, value):
            return lambda pe: setattr(getattr(pe, header), field, value(getattr(getattr(pe, header), field)))

        cases = [
            ("console subsystem", set_header("OPTIONAL_HEADER", "Subsystem", lambda _: 3), "subsystem", "subsystem 3"),
            ("no WDM flag", set_header("OPTIONAL_HEADER", "DllCharacteristics", lambda flags: flags & ~0x2000),
             "wdm-driver", "lacks WDM_DRIVER"),
            ("relocations stripped", set_header("FILE_HEADER", "Characteristics", lambda flags: flags | 1),
             "relocatable", "relocations stripped"),
            ("INIT kept resident", set_flags("INIT", clear_bits=image_checks.IMAGE_SCN_MEM_DISCARDABLE),
             "sections", "INIT is not discardable"),
            ("PAGE locked in memory", set_flags("PAGE", set_bits=image_checks.IMAGE_SCN_MEM_NOT_PAGED),
             "sections", "PAGE is not plain pageable"),
            ("code made writable", set_flags(".text", set_bits=image_checks.IMAGE_SCN_MEM_WRITE),
             "sections", ".text is writable and executable"),
            ("resident data left pageable", set_flags(".pdata", clear_bits=image_checks.IMAGE_SCN_MEM_NOT_PAGED),
             "sections", ".pdata is neither marked non-paged nor discardable"),
        ]
        for label, mutate, check, fragment in cases:
            with self.subTest(fault=label):
                found = self.check_mutated(mutate)
                self.assertEqual(set(found), {check})
                self.assertIn(fragment, found[check])

    def test_a_stale_checksum_fails_the_checksum_check(self):
        found = self.check_mutated(set_checksum_off_by_one, keep_checksum=True)
        self.assertEqual(set(found), {"checksum"})
        self.assertRegex(found["checksum"], r"stored checksum 0x[0-9a-f]{8}, the file sums to 0x[0-9a-f]{8}")


def set_checksum_off_by_one(pe):
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum() + 1


class InfFaultTest(unittest.TestCase):
    """The source INF with one line changed."""

    @classmethod
    def setUpClass(cls):
        with open(SOURCE_INF, encoding="latin-1") as source:
            cls.source = source.read()
        cls.version = inf_checks.driver_version_from_header(VERSION_HEADER)

    def check_text(self, text):
        return failures(inf_checks.check_inf(inf_file.parse(text), "tesmo.sys", self.version))

    def test_the_source_inf_passes_every_check(self):
        self.assertEqual(self.check_text(self.source), {})

    def test_each_inf_fault_fails_its_checks(self):
        cases = [
            ("modem class GUID", "{4D36E978-E325-11CE-BFC1-08002BE10318}", "{4D36E96D-E325-11CE-BFC1-08002BE10318}",
             {"inf-class"}, "not the Ports class"),
            ("another class", "Class       = Ports", "Class       = USB", {"inf-class"}, "not Ports"),
            ("binary renamed", "ServiceBinary = %12%\\tesmo.sys", "ServiceBinary = %12%\\tesmo2.sys",
             {"inf-service"}, "\"%12%\\tesmo2.sys\""),
            ("binary not copied", "[Tesmo_CopyFiles]\ntesmo.sys", "[Tesmo_CopyFiles]\nhelper.sys",
             {"inf-copy-files"}, "does not copy tesmo.sys"),
            ("copied elsewhere", "Tesmo_CopyFiles = 12", "Tesmo_CopyFiles = 11", {"inf-copy-files"},
             "directory 11"),
            ("boot start", "StartType     = 3", "StartType     = 0", {"inf-service"}, "StartType is 0"),
            ("not the function driver", "AddService = Tesmo, 0x00000002,", "AddService = Tesmo, 0x00000000,",
             {"inf-service"}, "0 AddService entries"),
            ("COM name pinned", "HKR,,PortSubClass,1,01", "HKR,,PortSubClass,1,01\nHKR,,PortName,,\"COM9\"",
             {"inf-port-name"}, "writes PortName"),
            ("32-bit models only", "%ManufacturerName% = Tesmo, NTamd64", "%ManufacturerName% = Tesmo, NTx86",
             {"inf-models", "inf-copy-files", "inf-service"}, "NTamd64"),
            ("no USB hardware ID", "Tesmo_Install, USB\\VID_0000&PID_0000", "Tesmo_Install, ROOT\\TESMO",
             {"inf-models"}, "ROOT\\TESMO"),
            ("undefined string", "%Tesmo.DeviceDesc% =", "%Tesmo.Description% =", {"inf-syntax"},
             "undefined string %Tesmo.Description%"),
            ("version drift", "1.5.0.22", "1.5.0.23", {"inf-driver-ver"}, "differs from the driver's 1.5.0.22"),
            ("no catalog", "CatalogFile = tesmo.cat\n", "", {"inf-version"}, "no catalog"),
        ]
        for label, old, new, checks, fragment in cases:
            with self.subTest(fault=label):
                self.assertIn(old, self.source)
                found = self.check_text(self.source.replace(old, new))
                self.assertEqual(set(found), checks)
                self.assertIn(fragment, " ".join(found.values()))


class InfReaderTest(unittest.TestCase):
    def test_continuation_comments_quotes_and_escapes(self):
        inf = inf_file.parse(
            "[Version] ; comment\n"
            "Provider = %Name%\n"
            "[Tesmo_AddReg]\n"
            "HKR,,Text,,\"a;b, \"\"c\"\"\" ; a comment after a quoted semicolon\n"
            "HKR,,Long,, \\\n"
            "   \"joined\"\n"
            "HKR,,Percent,,\"100%%\"\n"
            "[strings]\n"
            "NAME = \"Tesmo, Inc.\"\n")
        self.assertEqual(inf.errors, [])
        self.assertEqual(inf.value("version", "PROVIDER"), "Tesmo, Inc.")
        self.assertEqual([entry.fields for entry in inf.entries("Tesmo_AddReg")],
                         [["HKR", "", "Text", "", 'a;b, "c"'], ["HKR", "", "Long", "", "joined"],
                          ["HKR", "", "Percent", "", "100%"]])
        self.assertEqual([entry.line for entry in inf.entries("Tesmo_AddReg")], [4, 5, 7])

    def test_entries_outside_sections_and_broken_headers_are_errors(self):
        inf = inf_file.parse("Stray = 1\n[Version\nSignature = \"$Windows NT$\"\n")
        self.assertEqual(len(inf.errors), 3, inf.errors)
        self.assertIn("line 1: entry outside any section", inf.errors[0])
        self.assertIn("line 2: unterminated section name", inf.errors[1])


class LayoutParityTest(unittest.TestCase):
    """The emulated headers with one layout fault each: the check names the
    figure that differs."""

    FAULTS = [
        ("a member without the platform's pointer alignment", "emu_io.h",
         "ULONG POINTER_ALIGNMENT IoControlCode;", "ULONG IoControlCode;",
         "DIFF offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode): emulated 20, platform 24"),
        ("the emulation's own state inside a platform structure", "emu_io.h",
         "IO_REMOVE_LOCK_COMMON_BLOCK Common;\n}", "IO_REMOVE_LOCK_COMMON_BLOCK Common;\n    ULONG Tag;\n}",
         "DIFF offsetof(IO_REMOVE_LOCK, Tag): emulated 32, platform absent"),
        ("a code with another value", "emu_usb.h", "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0009",
         "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0090",
         "DIFF URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: emulated 144, platform 9"),
        ("two fields of an untyped request structure swapped", "emu_usb.h",
         "    ULONG TransferFlags;\n    ULONG TransferBufferLength;\n",
         "    ULONG TransferBufferLength;\n    ULONG TransferFlags;\n",
         "DIFF offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags): emulated 36, platform 32"),
    ]

    def test_each_layout_fault_is_named(self):
        for label, header, sound, faulty, expected in self.FAULTS:
            with self.subTest(label), tempfile.TemporaryDirectory() as scratch:
                headers = Path(scratch) / "ddk"
                shutil.copytree(layout_parity.EMULATED_HEADERS, headers)
                text = (headers / header).read_text()
                self.assertIn(sound, text)
                (headers / header).write_text(text.replace(sound, faulty, 1))
                figures, _ = layout_parity.compare(headers, Path(scratch) / "work")
                reports = [layout_parity.report(*figure) for figure in figures if figure[1] != figure[2]]
                self.assertIn(expected, reports)


def main():
    parser = argparse.ArgumentParser(description="Tests of the driver package and its checker")
    parser.add_argument("--build", required=True)
    parser.add_argument("--traced-build", required=True)
    parser.add_argument("--repro-build", required=True)
    arguments, rest = parser.parse_known_args()
    builds.update(default=arguments.build, traced=arguments.traced_build, repro=arguments.repro_build)
    runner = unittest.TextTestRunner(stream=sys.stdout, verbosity=2)
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, testRunner=runner)
    result = program.result
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    print("windows-check: %d passed, %d failed" % (result.testsRun - failed - len(result.skipped), failed))
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
