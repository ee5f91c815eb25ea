#!/usr/bin/env python3
"""Checks zarq7.exe as the Windows build makes it: an x64 console image (subsystem 3) that
imports from system DLLs alone, so that it runs where it is copied and in Wine without MinGW's
runtime DLLs (libstdc++, libgcc, winpthread)."""
import argparse
import re
import subprocess
import sys

# DLLs every Windows from XP on has; msvcrt.dll is the C runtime MinGW-w64 builds against.
SYSTEM_DLLS = {"kernel32.dll", "setupapi.dll", "msvcrt.dll", "advapi32.dll", "user32.dll",
               "ntdll.dll"}
CONSOLE_SUBSYSTEM = 3


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--image", required=True)
    parser.add_argument("--objdump", required=True)
    args = parser.parse_args()
    text = subprocess.run([args.objdump, "-p", args.image], check=True, capture_output=True,
                          text=True).stdout
    problems = []
    if not re.search(r"^Magic\s+020b\s", text, re.M):
        problems.append("not a PE32+ (x64) image")
    subsystem = re.search(r"^Subsystem\s+([0-9a-fA-F]+)", text, re.M)
    if not subsystem or int(subsystem.group(1), 16) != CONSOLE_SUBSYSTEM:
        problems.append("subsystem is not the console's (3): " +
                        (subsystem.group(1) if subsystem else "none"))
    dlls = re.findall(r"^\s*DLL Name:\s*(\S+)", text, re.M)
    if not dlls:
        problems.append("no imports found")
    for dll in dlls:
        if dll.lower() not in SYSTEM_DLLS:
            problems.append("imports from " + dll + ", which is not a system DLL")
    for problem in problems:
        print("check_tool: %s: %s" % (args.image, problem), file=sys.stderr)
    if problems:
        return 1
    print("check_tool: %s: console image, imports %s" % (args.image, ", ".join(dlls)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
