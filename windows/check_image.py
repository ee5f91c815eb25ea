#!/usr/bin/env python3
"""Checks a built Zarq7usb.sys or SMCLIB.SYS: that Windows would take it for the kernel image it
is meant to be.

  - the native subsystem, and DriverEntry as the entry point;
  - base relocations (a driver is loaded wherever the system puts it);
  - imports from ntoskrnl.exe, HAL.dll, USBD.SYS and SMCLIB.SYS only, each symbol listed for its
    module in exports.tsv (documented exports, with the page that documents each) as exported on
    every system the image is for: the x86 image on Windows 98/Me, 2000 and XP, the x64 one on x64;
  - the security directory (the certificate table): empty in the image the linker wrote; with
    --security-directory signed alone, a signed image's table is read instead (one PKCS#7
    signed-data certificate at the end of the file) and its checksum checked;
  - no undefined symbol: whatever the driver's objects refer to and do not define is imported
    from one of those modules (or is one of the compiler's arithmetic helpers);
  - no static constructor in the driver's objects (nothing runs them), and no C++ exception
    tables (nothing throws);
  - every pool allocation tagged "SC7Q": no untagged allocator imported, every
    ExAllocatePoolWithTag call in the driver's sources passes DRIVER_POOL_TAG, and every call in
    the image is preceded in its routine by the tag's value.

For SMCLIB.SYS, the export driver built from the host's smart card library, the same with its
own modules (--modules ntoskrnl.exe,HAL.dll), pool tag and tag expression, and its exports
(--export-definition): exactly the routines of the .def the driver's import library is made from,
undecorated, and the export driver's entry points (--entry-exports); and every symbol the driver's
image (--importer) imports from SMCLIB.SYS among them.

Prints one line per finding and exits 1 when there is any.
"""
import argparse
import pathlib
import re
import subprocess
import sys

MODULES = ("ntoskrnl.exe", "HAL.dll", "USBD.SYS", "SMCLIB.SYS")
ENTRY = {"x64": "DriverEntry", "x86": "_DriverEntry@8"}
POOL_TAG = 0x51374353  # "SC7Q" read as a little-endian ULONG
TAGGED_ALLOCATOR = "ExAllocatePoolWithTag"
# The allocation routines whose allocations the driver could not tag as required.
UNTAGGED_ALLOCATORS = re.compile(r"^(ExAllocatePool(WithQuota|WithQuotaTag|WithTagPriority|2|3|Zero|"
                                 r"QuotaZero|PriorityZero)?|ExAllocatePool)$")
# What GCC calls for arithmetic the x86 instruction set lacks (libgcc, freestanding).
COMPILER_HELPERS = {"__divdi3", "__udivdi3", "__moddi3", "__umoddi3", "__udivmoddi4", "__divmoddi4"}
CONSTRUCTOR_SECTIONS = (".ctors", ".init_array", ".CRT$XC")
# C++ exception tables: kernel code throws nothing, so nothing may need them. (x64's .pdata and
# .xdata are the system's unwind information, which every x64 image carries.)
EXCEPTION_SECTIONS = (".gcc_except_table",)
# The systems each image is loaded by: columns of exports.tsv.
TARGETS = {"x86": ("98/Me", "2000", "XP"), "x64": ("x64",)}
COLUMNS = ("98/Me", "2000", "XP", "x64")
AVAILABILITY = ("yes", "assumed", "no")


def absolute_relocations(relocation_records):
    """Whether code or data outside the debug information holds an absolute address. A checked
    build's debug sections are full of them, but the loader never reads those sections."""
    section = ""
    for line in relocation_records.splitlines():
        found = re.match(r"RELOCATION RECORDS FOR \[([^\]]+)\]", line)
        if found:
            section = found.group(1)
        elif not section.startswith(".debug") and re.search(
                r"\b(IMAGE_REL_AMD64_ADDR64|IMAGE_REL_I386_DIR32|dir32)\b", line):
            return True
    return False


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def parse_private_header(text):
    fields = {}
    for line in text.splitlines():
        match = re.match(r"^(\w+)\s+([0-9a-fA-F]+)\b(.*)$", line)
        if match and match.group(1) not in fields:
            fields[match.group(1)] = (int(match.group(2), 16), match.group(3).strip())
    return fields


def parse_imports(text):
    """{module: [symbol, ...]} from objdump -p's import tables."""
    imports = {}
    module = None
    for line in text.splitlines():
        if line.startswith(("The ", "PE File")):
            module = None
        match = re.match(r"^\s*DLL Name: (\S+)", line)
        if match:
            module = match.group(1)
            imports.setdefault(module, [])
            continue
        match = re.match(r"^\s+[0-9a-f]+\s+\d+\s+(\S+)\s*$", line)
        if module is not None and match:
            imports[module].append(match.group(1))
    return imports


def load_exports(path):
    """{(module lowercase, symbol): ({target: availability}, page)}"""
    exports = {}
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.split("\t")
        if (len(fields) != 3 + len(COLUMNS) or not fields[-1].strip() or
                any(value not in AVAILABILITY for value in fields[2:-1]) or
                "assumed" in fields[3:-1]):
            raise SystemExit(f"{path}:{number}: expected module, symbol, yes|assumed|no for 98/Me, "
                             f"yes|no for 2000, XP and x64, page")
        exports[(fields[0].lower(), fields[1])] = (dict(zip(COLUMNS, fields[2:-1])), fields[-1])
    return exports


# Object type variables the kernel exports (each a POBJECT_TYPE). MinGW-w64's ddk/wdm.h declares
# them `extern POBJECT_TYPE NTSYSAPI *Name`: dllimport and one pointer level above the variable,
# where Microsoft's headers rely on the import library's data thunk. Code built here that writes
# *PsThreadType reads the type object's first field, and the kernel refuses the reference or
# faults (seen under Wine, with ObReferenceObjectByHandle at the reader's open). An image built with
# these headers imports none of them: a kernel-mode reference to a handle it made needs no type.
OBJECT_TYPE_VARIABLES = ("PsThreadType", "PsProcessType", "IoFileObjectType", "ExEventObjectType",
                         "ExSemaphoreObjectType", "IoDriverObjectType", "IoDeviceObjectType",
                         "SeTokenObjectType", "CmKeyObjectType", "TmEnlistmentObjectType")


def import_findings(imports, exports, arch, modules=MODULES):
    """(findings, notes) for the imports of an image against the systems that load it."""
    findings, notes, assumed = [], [], []
    allowed_modules = {module.lower(): module for module in modules}
    for module, names in sorted(imports.items()):
        if module.lower() not in allowed_modules:
            findings.append(f"{arch}: imports from {module}: {', '.join(names)}")
            continue
        for name in names:
            if UNTAGGED_ALLOCATORS.match(name):
                findings.append(f"{arch}: imports {name}, an allocation without the driver's tag")
            if name in OBJECT_TYPE_VARIABLES:
                findings.append(f"{arch}: imports {name}, an object type variable that MinGW-w64's "
                                f"headers declare one pointer level too deep")
            listed = exports.get((module.lower(), name))
            if listed is None:
                findings.append(f"{arch}: {module}!{name} is not a listed documented export "
                                f"(windows/exports.tsv)")
                continue
            availability, page = listed
            for target in TARGETS[arch]:
                if availability[target] == "assumed":
                    assumed.append(name)
                if availability[target] != "no":
                    continue
                findings.append(f"{arch}: {module}!{name} is imported, but Windows {target} does "
                                f"not export it, or nothing shows it does ({page}); the image "
                                f"would not load there")
    if assumed:
        notes.append(f"{arch}: {len(set(assumed))} imports taken as exported on 98/Me without a "
                     f"page to show it (exports.tsv: assumed)")
    return findings, notes


def security_directory(image):
    """(file offset, size) of the certificate table, and the image's bytes."""
    data = image.read_bytes()
    pe = int.from_bytes(data[0x3C:0x40], "little")
    optional = pe + 24
    magic = int.from_bytes(data[optional:optional + 2], "little")
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    entry = directories + 4 * 8
    return (int.from_bytes(data[entry:entry + 4], "little"),
            int.from_bytes(data[entry + 4:entry + 8], "little"), data, optional + 64)


def pe_checksum(data, checksum_offset):
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for index in range(0, len(padded), 2):
        if checksum_offset <= index < checksum_offset + 4:
            continue
        total += int.from_bytes(padded[index:index + 2], "little")
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16) + len(data)) & 0xFFFFFFFF


# The DER of the signed-data content type, 1.2.840.113549.1.7.2.
SIGNED_DATA_OID = bytes.fromhex("06092a864886f70d010702")


def signed_findings(image):
    offset, size, data, checksum_offset = security_directory(image)
    name = f"{image.parent.name}/{image.name}"
    if not offset or not size:
        return [f"{name}: the security directory is empty: the image is not signed"]
    findings = []
    if offset % 8 or offset + size != len(data):
        findings.append(f"{name}: the certificate table at 0x{offset:x}, 0x{size:x} bytes, is not "
                        f"8-byte aligned at the end of the file (0x{len(data):x} bytes)")
        return findings
    length = int.from_bytes(data[offset:offset + 4], "little")
    revision = int.from_bytes(data[offset + 4:offset + 6], "little")
    kind = int.from_bytes(data[offset + 6:offset + 8], "little")
    if length < 8 or length > size or revision != 0x0200 or kind != 0x0002:
        findings.append(f"{name}: the certificate is not a WIN_CERTIFICATE of revision 2.0 holding "
                        f"PKCS#7 signed data (length {length}, revision 0x{revision:x}, "
                        f"type {kind})")
    elif SIGNED_DATA_OID not in data[offset + 8:offset + 8 + 32]:
        findings.append(f"{name}: the certificate holds no PKCS#7 signed data")
    stored = int.from_bytes(data[checksum_offset:checksum_offset + 4], "little")
    if stored != pe_checksum(data, checksum_offset):
        findings.append(f"{name}: checksum 0x{stored:x} is not the image's "
                        f"(0x{pe_checksum(data, checksum_offset):x})")
    if not findings:
        print(f"image check: {name}: signed, a PKCS#7 certificate of {length} bytes at "
              f"0x{offset:x} in the security directory, checksum 0x{stored:x} right")
    return findings


def call_arguments(text, start):
    """The top-level arguments of the call whose '(' is at text[start]."""
    depth, arguments, current = 0, [], ""
    for char in text[start:]:
        if char == "(":
            depth += 1
            if depth == 1:
                continue
        elif char == ")":
            depth -= 1
            if depth == 0:
                arguments.append(current.strip())
                return arguments
        elif char == "," and depth == 1:
            arguments.append(current.strip())
            current = ""
            continue
        current += char
    return None


def parse_exports(text):
    """The names of objdump -p's export name table."""
    names, inside = [], False
    for line in text.splitlines():
        if line.startswith("[Ordinal/Name Pointer] Table"):
            inside = True
            continue
        if inside:
            match = re.match(r"^\s+\[\s*\d+\]\s+(\S+)\s*$", line)
            if not match:
                break
            names.append(match.group(1))
    return names


def definition_exports(path):
    """The undecorated names a .def's EXPORTS section lists."""
    names, inside = [], False
    for line in path.read_text().splitlines():
        line = line.split(";", 1)[0].strip()
        if not line:
            continue
        if line.upper() == "EXPORTS":
            inside = True
            continue
        if inside:
            names.append(re.sub(r"@\d+$", "", line.split()[0]))
    return names


def export_findings(exported, definition, entry_exports, importer_imports, module, importer, arch):
    """The image's exports against its .def and entry points, and the importer's imports."""
    findings = []
    expected = set(definition) | set(entry_exports)
    for name in sorted(set(exported) - expected):
        findings.append(f"{arch}: exports {name}, which neither the .def nor the entry points list")
    for name in sorted(expected - set(exported)):
        findings.append(f"{arch}: does not export {name}")
    if len(exported) != len(set(exported)):
        findings.append(f"{arch}: exports a name twice")
    for name in sorted(set(importer_imports) - set(exported)):
        findings.append(f"{arch}: {importer} imports {module}!{name}, which is not exported")
    if not importer_imports:
        findings.append(f"{arch}: {importer} imports nothing from {module}")
    return findings


def source_tag_findings(root, folders, tag_expression="DRIVER_POOL_TAG"):
    findings = []
    call = re.compile(r"\b" + TAGGED_ALLOCATOR + r"\s*\(")
    for folder in folders:
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".cpp", ".h"):
                continue
            text = re.sub(r"//[^\n]*", "", path.read_text())
            for match in call.finditer(text):
                arguments = call_arguments(text, match.end() - 1)
                line = text.count("\n", 0, match.start()) + 1
                if (arguments is None or len(arguments) != 3 or
                        not re.fullmatch(tag_expression, arguments[2])):
                    findings.append(f"{path.relative_to(root)}:{line}: {TAGGED_ALLOCATOR} without "
                                    f"{tag_expression} as its tag")
    return findings


def import_slots(text, image_base, arch):
    """{address of an import address table slot: imported name} from objdump -p."""
    slots, module_thunk, index = {}, None, 0
    size = 8 if arch == "x64" else 4
    for line in text.splitlines():
        header = re.match(r"^ ([0-9a-f]{8})\s+([0-9a-f]{8}) [0-9a-f]{8} [0-9a-f]{8} [0-9a-f]{8} "
                          r"([0-9a-f]{8})$", line)
        if header:
            module_thunk, index = int(header.group(3), 16), 0
            continue
        entry = re.match(r"^\s+[0-9a-f]+\s+\d+\s+(\S+)\s*$", line)
        if entry and module_thunk:
            slots[image_base + module_thunk + index * size] = entry.group(1)
            index += 1
    return slots


def image_tag_findings(disassembly, slots, arch, pool_tag=POOL_TAG):
    """Every call of the allocator (through its import slot or its thunk) must follow a load of
    the tag's value in the same routine; an image that imports it and has no such call is not
    what this check understands."""
    findings, calls = [], 0
    routine, tag_seen = None, False
    tag = f"$0x{pool_tag:x}"
    through_slot = re.compile(r"\b(call|jmp)\s+\*(?:0x[0-9a-f]+\(%rip\)\s+#\s+|0x)([0-9a-f]+)")
    through_thunk = re.compile(r"\b(call|jmp)\s+[0-9a-f]+ <[_@]?" + TAGGED_ALLOCATOR + r"(@\d+)?>")
    # The slot's address loaded into a register (a routine calling it more than once), and
    # calls through that register.
    slot_load = re.compile(r"\bmov\s+(?:0x[0-9a-f]+\(%rip\),%(\w+)\s+#\s+|0x([0-9a-f]+),%(\w+))"
                           r"([0-9a-f]+)?")
    through_register = re.compile(r"\b(call|jmp)\s+\*%(\w+)\s*$")
    holding = set()
    for line in disassembly.splitlines():
        header = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if header:
            routine, tag_seen, holding = header.group(1), False, set()
            continue
        if tag in line:
            tag_seen = True
        load = slot_load.search(line)
        if load:
            register = load.group(1) or load.group(3)
            address = load.group(4) or load.group(2)
            if address and slots.get(int(address, 16)) == TAGGED_ALLOCATOR:
                holding.add(register)
            else:
                holding.discard(register)
        slot = through_slot.search(line)
        register_call = through_register.search(line)
        allocates = through_thunk.search(line) or (
            slot and slots.get(int(slot.group(2), 16)) == TAGGED_ALLOCATOR) or (
            register_call and register_call.group(2) in holding)
        if allocates and routine.lstrip("_@").split("@")[0] != TAGGED_ALLOCATOR:
            calls += 1
            if not tag_seen:
                findings.append(f"{arch}: {routine} calls {TAGGED_ALLOCATOR} without loading the "
                                f"tag {tag} before it")
    if calls == 0 and TAGGED_ALLOCATOR in slots.values():
        findings.append(f"{arch}: {TAGGED_ALLOCATOR} is imported and no call of it was found")
    return findings


def undecorated(symbol, arch):
    """The exported name a reference of the driver's objects names: __imp_ and the x86
    decorations (_name@bytes, @name@bytes, _name) taken off."""
    if symbol.startswith("__imp_"):
        symbol = symbol[len("__imp_"):]
    if arch == "x86":
        symbol = re.sub(r"@\d+$", "", symbol)
        if symbol.startswith(("_", "@")):
            symbol = symbol[1:]
    return symbol


def unresolved_findings(library_symbols, imports, arch):
    """Every symbol the driver's objects refer to and do not define must be imported from a
    listed module, or be one of the compiler's own arithmetic helpers."""
    defined, referenced = set(), set()
    for line in library_symbols.splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0] == "U":
            referenced.add(parts[1])
        elif len(parts) == 3 and parts[1] not in ("U", "w"):
            defined.add(parts[2])
    imported = {name for names in imports.values() for name in names}
    findings = []
    for symbol in sorted(referenced - defined):
        if undecorated(symbol, arch) in imported or undecorated(symbol, arch) in COMPILER_HELPERS:
            continue
        findings.append(f"{arch}: {symbol} is referred to and neither defined by the driver nor "
                        "imported from a listed module")
    return findings


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--image", required=True, type=pathlib.Path)
    parser.add_argument("--security-directory", choices=("empty", "signed"), default="empty")
    parser.add_argument("--arch", choices=sorted(ENTRY))
    parser.add_argument("--objdump")
    parser.add_argument("--nm")
    parser.add_argument("--driver-library")
    parser.add_argument("--exports", type=pathlib.Path)
    parser.add_argument("--source-root", type=pathlib.Path)
    parser.add_argument("--folders")
    parser.add_argument("--modules", default=",".join(MODULES),
                        help="the modules the image may import from")
    parser.add_argument("--pool-tag", default="SC7Q", help="the four characters of the pool tag")
    parser.add_argument("--tag-expression", default="DRIVER_POOL_TAG",
                        help="what the sources pass as ExAllocatePoolWithTag's tag (a regex)")
    parser.add_argument("--export-definition", type=pathlib.Path,
                        help="the .def whose routines the image exports, and nothing else")
    parser.add_argument("--entry-exports", default="",
                        help="exported entry points the .def does not list")
    parser.add_argument("--importer", type=pathlib.Path,
                        help="an image that imports from this one")
    options = parser.parse_args()
    if options.security_directory == "signed":
        findings = signed_findings(options.image)
        for finding in findings:
            print(f"image check: {finding}")
        return 1 if findings else 0
    for required in ("arch", "objdump", "nm", "driver_library", "exports", "source_root",
                     "folders"):
        if getattr(options, required) is None:
            parser.error(f"--{required.replace('_', '-')} is required")
    arch = options.arch
    findings = []
    offset, size = security_directory(options.image)[:2]
    if offset or size:
        findings.append(f"{arch}: the linker's image has a security directory "
                        f"(0x{offset:x}, {size} bytes); it is signed only when packaged")

    private = run(options.objdump, "-p", str(options.image))
    fields = parse_private_header(private)

    subsystem = fields.get("Subsystem")
    if subsystem is None or subsystem[0] != 1:
        findings.append(f"{arch}: subsystem is {subsystem}, not 1 (NT native)")

    symbols = {}
    for line in run(options.nm, "--defined-only", str(options.image)).splitlines():
        parts = line.split()
        if len(parts) == 3:
            symbols[parts[2]] = int(parts[0], 16)
    entry_symbol = ENTRY[arch]
    image_base = fields.get("ImageBase", (0, ""))[0]
    entry = fields.get("AddressOfEntryPoint", (0, ""))[0]
    if entry_symbol not in symbols:
        findings.append(f"{arch}: no {entry_symbol} in the image")
    elif symbols[entry_symbol] != image_base + entry:
        findings.append(f"{arch}: entry point 0x{image_base + entry:x} is not {entry_symbol} "
                        f"(0x{symbols[entry_symbol]:x})")

    relocated = "relocated"
    if not re.search(r"Entry 5 [0-9a-f]+ [0-9a-f]*[1-9a-f][0-9a-f]* Base Relocation Directory",
                     private) or "PE File Base Relocations" not in private:
        # An image whose code and data hold no absolute address (x64 code addresses its data
        # relative to itself) has nothing to relocate and loads anywhere, unless it says its
        # relocations were stripped.
        characteristics = fields.get("Characteristics", (0, ""))[0]
        absolute = absolute_relocations(run(options.objdump, "-r", options.driver_library))
        if absolute or characteristics & 0x0001:
            findings.append(f"{arch}: no base relocations")
        else:
            relocated = "nothing to relocate"

    exports = load_exports(options.exports)
    imports = parse_imports(private)
    import_problems, notes = import_findings(imports, exports, arch, options.modules.split(","))
    findings += import_problems

    exported = parse_exports(private)
    if options.export_definition:
        importer_imports = []
        if options.importer:
            importer_private = run(options.objdump, "-p", str(options.importer))
            for module, names in parse_imports(importer_private).items():
                if module.lower() == options.image.name.lower():
                    importer_imports += names
        findings += export_findings(
            exported, definition_exports(options.export_definition),
            [name for name in options.entry_exports.split(",") if name], importer_imports,
            options.image.name, options.importer.name if options.importer else "no importer",
            arch)
    elif exported:
        findings.append(f"{arch}: exports {', '.join(exported)}; a driver exports nothing")

    findings += unresolved_findings(run(options.nm, options.driver_library), imports, arch)

    headers = run(options.objdump, "-h", options.driver_library)
    member = None
    for line in headers.splitlines():
        match = re.match(r"^In archive .*?:$|^(\S+):\s+file format", line)
        if match:
            member = match.group(1) or member
        match = re.match(r"^\s*\d+\s+(\S+)\s+([0-9a-f]+)", line)
        if match and match.group(1).startswith(CONSTRUCTOR_SECTIONS) and int(match.group(2), 16):
            findings.append(f"{arch}: {member} has a static constructor ({match.group(1)})")
        if match and match.group(1).startswith(EXCEPTION_SECTIONS) and int(match.group(2), 16):
            findings.append(f"{arch}: {member} has C++ exception tables ({match.group(1)})")

    pool_tag = int.from_bytes(options.pool_tag.encode("ascii"), "little")
    findings += source_tag_findings(options.source_root, options.folders.split(","),
                                    options.tag_expression)
    slots = import_slots(private, image_base, arch)
    findings += image_tag_findings(run(options.objdump, "-d", str(options.image)), slots, arch,
                                   pool_tag)

    for note in notes:
        print(f"image check: note: {note}")
    for finding in findings:
        print(f"image check: {finding}")
    if findings:
        return 1
    counts = ", ".join(f"{module} {len(names)}" for module, names in sorted(imports.items()))
    exported_text = f", exports {len(exported)} as listed" if options.export_definition else ""
    print(f"image check: {options.image.name} ({arch}) native, entry {entry_symbol}, {relocated}, "
          f"unsigned, imports {counts}: all documented and exported on "
          f"{', '.join(TARGETS[arch])}{exported_text}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
