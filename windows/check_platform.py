#!/usr/bin/env python3
"""Checks that platform/ means on the host what it means in the x64 DDK headers.

  - every macro the host's platform/ defines is defined on the Windows side too, and every one
    whose value is an integer has the same value;
  - every structure field listed in platform_layout.txt has the same offset and size on both
    sides, and every type listed there the same size;
except for the differences platform_differences.txt lists, each with its reason.

Both sides are compiled from one generated file that publishes each value as an absolute
symbol; the values are read back with nm. Prints one line per difference and exits 1 when there
is any.
"""
import argparse
import pathlib
import re
import subprocess
import sys
import tempfile

# Type names a numeric macro may cast to.
CAST_TYPES = {"NTSTATUS", "ULONG", "LONG", "USHORT", "UCHAR", "USBD_STATUS", "DWORD", "CHAR"}


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        raise SystemExit(f"platform check: failed: {' '.join(command)}")
    return result.stdout


def platform_includes(root):
    headers = sorted(path.name for path in (root / "platform").glob("*.h"))
    return "".join(f'#include "platform/{name}"\n' for name in headers)


def macros(compiler, flags, root, source):
    """{name: (parameters or None, body)} of the macros the platform headers define."""
    defined = {}
    for line in run(compiler + flags + ["-dM", "-E", str(source)], cwd=root).splitlines():
        match = re.match(r"^#define (\w+)(\([^)]*\))? ?(.*)$", line)
        if match:
            defined[match.group(1)] = (match.group(2), match.group(3))
    empty = source.with_name("empty.cpp")
    empty.write_text("")
    for line in run(compiler + flags + ["-dM", "-E", str(empty)], cwd=root).splitlines():
        match = re.match(r"^#define (\w+)", line)
        if match:
            defined.pop(match.group(1), None)
    return defined


def is_integer_macro(name, host_macros, seen=()):
    parameters, body = host_macros[name]
    if parameters is not None or not body:
        return False
    for token in re.findall(r"[A-Za-z_]\w*|\S", re.sub(r"\b0[xX][0-9a-fA-F]+[uUlL]*\b|\b\d+[uUlL]*\b",
                                                         " ", body)):
        if re.match(r"[A-Za-z_]", token):
            if token in CAST_TYPES:
                continue
            if token not in host_macros or token in seen:
                return False
            if host_macros[token][0] is None and not is_integer_macro(token, host_macros,
                                                                      seen + (name,)):
                return False
        elif token not in "()|&<>+-*/~^,":
            return False
    return True


def layout_entries(path):
    """[(symbol suffix, expression)] for every field and type of the layout list."""
    entries = []
    for line in path.read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        words = line.split()
        type_name, fields = words[0], words[1:]
        spelled = type_name if not type_name.startswith("_") else f"struct {type_name}"
        if (f"size_{type_name}", f"sizeof({spelled})") not in entries:
            entries.append((f"size_{type_name}", f"sizeof({spelled})"))
        for field in fields:
            key = f"{type_name}.{field}".replace(".", "__")
            entries.append((f"offset_{key}", f"__builtin_offsetof({spelled}, {field})"))
            entries.append((f"size_{key}", f"sizeof((({spelled}*)0)->{field})"))
    return entries


def values(compiler, flags, nm, root, source, entries):
    lines = [platform_includes(root),
             "#define ZQ_EMIT(name, value) \\\n"
             '  asm volatile(".globl " name "\\n.set " name ", %c0" ::"i"((unsigned int)(value)))\n',
             "void PlatformCheckValues() {\n"]
    lines += [f'  ZQ_EMIT("zq_{name}", {expression});\n' for name, expression in entries]
    lines.append("}\n")
    source.write_text("".join(lines))
    obj = source.with_suffix(".o")
    run(compiler + flags + ["-c", str(source), "-o", str(obj)], cwd=root)
    found = {}
    for line in run([nm, str(obj)]).splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[2].startswith("zq_"):
            found[parts[2][3:]] = int(parts[0], 16)
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True, type=pathlib.Path)
    parser.add_argument("--host-cxx", required=True)
    parser.add_argument("--host-nm", default="nm")
    parser.add_argument("--windows-cxx", required=True)
    parser.add_argument("--windows-nm", required=True)
    parser.add_argument("--windows-flags", required=True, help="one string, split at spaces")
    parser.add_argument("--layout", required=True, type=pathlib.Path)
    parser.add_argument("--differences", required=True, type=pathlib.Path)
    options = parser.parse_args()
    root = options.root.resolve()
    common = ["-std=c++20", "-nostdinc", "-nostdinc++", "-I", str(root), "-w"]
    host = ([options.host_cxx], common)
    windows = ([options.windows_cxx], common + ["-DWINDOWS_KERNEL_BUILD"] +
               options.windows_flags.split())
    differences = {line.split()[0] for line in options.differences.read_text().splitlines()
                   if line.strip() and not line.startswith("#")}

    findings = []
    with tempfile.TemporaryDirectory() as directory:
        source = pathlib.Path(directory) / "platform.cpp"
        source.write_text(platform_includes(root))
        host_macros = macros(*host, root, source)
        windows_macros = macros(*windows, root, source)

        compared = []
        for name in sorted(host_macros):
            if name in differences:
                continue
            if name not in windows_macros:
                findings.append(f"{name} is declared on the host and not for Windows")
            elif is_integer_macro(name, host_macros):
                compared.append((f"value_{name}", name))
        entries = compared + layout_entries(options.layout)
        host_values = values(*host, options.host_nm, root, source, entries)
        windows_values = values(*windows, options.windows_nm, root, source, entries)

    for name, _ in entries:
        if name.partition("_")[2].replace("__", ".") in differences:
            continue
        # The values are 32-bit; ELF shows them sign-extended.
        here, there = host_values.get(name), windows_values.get(name)
        here = None if here is None else here & 0xFFFFFFFF
        there = None if there is None else there & 0xFFFFFFFF
        if here != there:
            kind, _, what = name.partition("_")
            shown = lambda v: "missing" if v is None else f"{v} (0x{v:x})"
            findings.append(f"{kind} of {what.replace('__', '.')}: host {shown(here)}, "
                            f"Windows x64 {shown(there)}")
    for finding in findings:
        print(f"platform check: {finding}")
    if findings:
        return 1
    print(f"platform check: {len(compared)} macro values and {len(entries) - len(compared)} "
          "sizes and offsets the same on the host and in the x64 DDK headers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
