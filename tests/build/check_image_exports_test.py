#!/usr/bin/env python3
"""The image check's rules (windows/check_image.py) for SMCLIB.SYS's exports: exactly the routines
of smclib.def and the export driver's entry points, and everything the driver imports from it; and
for the imports of any image: no object type variable, which MinGW-w64 declares too deep; and
when an image without relocations is sound."""
import pathlib
import sys
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.dont_write_bytecode = True
sys.path.insert(0, str(ROOT / "windows"))
import check_image  # noqa: E402

OBJDUMP_EXPORTS = """
[Ordinal/Name Pointer] Table
\t[   0] DllInitialize
\t[   1] SmartcardExit
\t[   2] SmartcardInitialize

PE File Base Relocations (interpreted .reloc section contents)
"""


class ExportRule(unittest.TestCase):
    def findings(self, exported, imported):
        return check_image.export_findings(exported, ["SmartcardExit", "SmartcardInitialize"],
                                           ["DllInitialize"], imported, "SMCLIB.SYS",
                                           "Zarq7usb.sys", "x64")

    def test_objdump_export_table_and_definition_are_read_undecorated(self):
        self.assertEqual(check_image.parse_exports(OBJDUMP_EXPORTS),
                         ["DllInitialize", "SmartcardExit", "SmartcardInitialize"])
        names = check_image.definition_exports(ROOT / "windows" / "smclib.def")
        self.assertIn("SmartcardDeviceControl", names)
        self.assertIn("SmartcardLogError", names)
        self.assertFalse([name for name in names if "@" in name or name == "LIBRARY"])

    def test_exactly_the_definition_and_what_the_driver_imports(self):
        exported = check_image.parse_exports(OBJDUMP_EXPORTS)
        self.assertEqual(self.findings(exported, ["SmartcardInitialize"]), [])
        missing = self.findings(["DllInitialize", "SmartcardInitialize"], ["SmartcardInitialize"])
        self.assertEqual(len(missing), 1)
        self.assertIn("does not export SmartcardExit", missing[0])
        extra = self.findings(exported + ["SmartcardHelper"], ["SmartcardInitialize"])
        self.assertEqual(len(extra), 1)
        self.assertIn("SmartcardHelper", extra[0])
        unexported = self.findings(exported, ["SmartcardInitialize", "SmartcardT0Reply"])
        self.assertEqual(len(unexported), 1)
        self.assertIn("imports SMCLIB.SYS!SmartcardT0Reply", unexported[0])
        self.assertTrue(self.findings(exported, []), "a driver importing nothing is not checked")


class ObjectTypeImports(unittest.TestCase):
    def test_an_object_type_variable_is_refused_whatever_the_systems_export(self):
        exports = {("ntoskrnl.exe", name): ({"98/Me": "yes", "2000": "yes", "XP": "yes",
                                             "x64": "yes"}, "page")
                   for name in ("PsThreadType", "ObReferenceObjectByHandle")}
        findings, _ = check_image.import_findings(
            {"ntoskrnl.exe": ["ObReferenceObjectByHandle", "PsThreadType"]}, exports, "x64",
            modules=("ntoskrnl.exe",))
        self.assertEqual(len(findings), 1)
        self.assertIn("imports PsThreadType, an object type variable", findings[0])
        clean, _ = check_image.import_findings({"ntoskrnl.exe": ["ObReferenceObjectByHandle"]},
                                               exports, "x64", modules=("ntoskrnl.exe",))
        self.assertEqual(clean, [])


class Relocations(unittest.TestCase):
    RECORDS = """
attributes.cpp.obj:     file format pe-x86-64

RELOCATION RECORDS FOR [.text]:
OFFSET           TYPE              VALUE
0000000000000011 IMAGE_REL_AMD64_REL32  __imp_ExAllocatePoolWithTag

RELOCATION RECORDS FOR [.debug_info]:
OFFSET           TYPE              VALUE
0000000000000008 IMAGE_REL_AMD64_ADDR64  .text
"""

    def test_only_what_the_loader_reads_needs_relocating(self):
        # A checked build's debug information holds absolute addresses; code addressing its data
        # relative to itself still has nothing to relocate.
        self.assertFalse(check_image.absolute_relocations(self.RECORDS))
        data = self.RECORDS + """
RELOCATION RECORDS FOR [.rdata]:
OFFSET           TYPE              VALUE
0000000000000000 IMAGE_REL_AMD64_ADDR64  .text
"""
        self.assertTrue(check_image.absolute_relocations(data))


if __name__ == "__main__":
    sys.exit(unittest.main())
