#!/usr/bin/env python3
"""Checks the export tables of the built libraries.

KelvoDLL.dll (32-bit or 64-bit): exactly the 54 names, undecorated, with
ordinals 1..54 in alphabetical order, and the AIO names of the memory read,
write, seek-read and seek-write calls on the same entry point as their DIO
twins; it imports system DLLs only; its version resource carries the
project's version. The module-definition file gives each name the argument
size of its standard-call symbol: four bytes per argument the header
declares. libkelvo.so: exactly the same 54 names, nothing else.

    check_exports.py LIBRARY [VERSION]
"""
import os
import re
import struct
import subprocess
import sys

NAMES = sorted("""
Access BrowseDevice BrowseDeviceIndex Close GetMemOutputModeAO GetMemSamplingCycleAI
GetMemSamplingCycleDIO GetMemSamplingFreqAO GetMemTrgDataAI GetMemTrgDataDIO GetMemTriggerAIO
GetMemTriggerDIO GetVerInfo Initial MemReadAIO MemReadDIO MemSampleStatusAIO MemSampleStatusDIO
MemSeekAIO MemSeekDIO MemSeekReadAIO MemSeekReadDIO MemSeekWriteAIO MemSeekWriteDIO MemStartAIO
MemStartDIO MemStopAIO MemStopDIO MemWriteAIO MemWriteDIO MultiReadAIO MultiReadDIO MultiWriteAIO
MultiWriteDIO Open OpenByIP ReadAIO ReadCOU ReadDIO SetChDirDIO SetGainAIO SetMemOutputModeAO
SetMemSamplingCycleAI SetMemSamplingCycleDIO SetMemSamplingFreqAO SetMemTargetChannelAI
SetMemTrgDataAI SetMemTrgDataDIO SetMemTriggerAIO SetMemTriggerDIO SetModeCOU WriteAIO WriteCOU
WriteDIO""".split())
NAMES = ["Kelvo_" + n for n in NAMES]
SHARED = ["MemRead", "MemWrite", "MemSeekRead", "MemSeekWrite"]
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "version.dll", "wsock32.dll"}
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def header_arguments():
    """Argument count of each export, from the public header."""
    with open(os.path.join(ROOT, "library", "include", "kelvo.h")) as f:
        text = re.sub(r"/\*.*?\*/", "", f.read(), flags=re.S)
    counts = {}
    for name, args in re.findall(r"KELVO_CALL\s+(Kelvo_\w+)\s*\(([^)]*)\)", text):
        args = args.strip()
        counts[name] = 0 if args in ("", "void") else args.count(",") + 1
    return counts


def check_def():
    with open(os.path.join(ROOT, "library", "exports", "KelvoDLL.def")) as f:
        sizes = dict(re.findall(r"^\s*(Kelvo_\w+) = Kelvo_\w+@(\d+) @\d+", f.read(), re.M))
    counts = header_arguments()
    check(sorted(counts) == NAMES, "the header does not declare the 54 exports")
    for name, count in counts.items():
        check(sizes.get(name) == str(4 * count),
              f"{name}: header has {count} arguments, .def says @{sizes.get(name)}")


def check_version(path, version):
    """VS_FIXEDFILEINFO: signature 0xFEEF04BD, then file version MS and LS."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    check(at >= 0, "no version resource")
    if at < 0:
        return
    ms, ls = struct.unpack_from("<II", data, at + 8)
    found = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    check(found == version, f"version resource says {found}, expected {version}")


def check_dll(path, version):
    fmt = subprocess.run(["objdump", "-f", path], capture_output=True, text=True).stdout
    arch = "x86_64" if "pei-x86-64" in fmt else "i686"
    dump = subprocess.run([f"{arch}-w64-mingw32-objdump", "-p", path], check=True,
                          capture_output=True, text=True).stdout
    magic = "PE32+" if arch == "x86_64" else "PE32)"
    check(f"({magic}" in dump, f"not a {magic.rstrip(')')} file")
    check_def()
    if version:
        check_version(path, version)
    base = int(re.search(r"Ordinal Base\s+(\d+)", dump).group(1))
    rvas = {}
    for index, rva in re.findall(r"\[\s*(\d+)\] \+base\[\s*\d+\]\s+([0-9a-f]+) Export RVA", dump):
        rvas[int(index) + base] = rva
    table = dump.split("[Ordinal/Name Pointer] Table", 1)[1]
    named = re.findall(r"\[\s*(\d+)\] (\S+)", table.split("\n\n", 1)[0])
    exported = [(int(i) + base, name) for i, name in named]
    check([n for _, n in exported] == NAMES, f"names differ: {[n for _, n in exported]}")
    for ordinal, name in exported:
        check(ordinal == NAMES.index(name) + 1 if name in NAMES else False,
              f"{name} has ordinal {ordinal}")
    by_name = {name: rvas.get(ordinal) for ordinal, name in exported}
    for stem in SHARED:
        check(by_name.get(f"Kelvo_{stem}AIO") == by_name.get(f"Kelvo_{stem}DIO"),
              f"Kelvo_{stem}AIO and Kelvo_{stem}DIO differ in entry point")
    bodies = {rva for rva in by_name.values()}
    check(len(bodies) == 50, f"{len(bodies)} entry bodies, expected 50")
    imports = {n.lower() for n in re.findall(r"DLL Name: (\S+)", dump)}
    check(imports <= SYSTEM_DLLS, f"imports beyond system DLLs: {imports - SYSTEM_DLLS}")


def check_so(path):
    out = subprocess.run(["nm", "-D", "--defined-only", path], check=True,
                         capture_output=True, text=True).stdout
    names = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    check(names == NAMES, f"exported symbols differ: {sorted(set(names) ^ set(NAMES))}")


def main():
    path = sys.argv[1]
    if path.lower().endswith(".dll"):
        check_dll(path, sys.argv[2] if len(sys.argv) > 2 else None)
    else:
        check_so(path)
    for message in failures:
        print("FAIL:", message)
    print(f"{path}: {'ok' if not failures else 'FAILED'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
