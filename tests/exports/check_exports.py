#!/usr/bin/env python3
"""Checks the export tables of the built libraries.

KelvoDLL.dll: exactly the 54 names, undecorated, with ordinals 1..54 in
alphabetical order, and the AIO names of the memory read, write, seek-read
and seek-write calls on the same entry point as their DIO twins; it imports
system DLLs only. libkelvo.so: exactly the same 54 names, nothing else.
"""
import re
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
SYSTEM_DLLS = {"KERNEL32.dll", "msvcrt.dll", "VERSION.dll", "WSOCK32.DLL"}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def check_dll(path):
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", path], check=True,
                          capture_output=True, text=True).stdout
    check("PE32" in dump or "pei-i386" in dump, "not a 32-bit PE file")
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
    imports = set(re.findall(r"DLL Name: (\S+)", dump))
    check(imports <= SYSTEM_DLLS, f"imports beyond system DLLs: {imports - SYSTEM_DLLS}")


def check_so(path):
    out = subprocess.run(["nm", "-D", "--defined-only", path], check=True,
                         capture_output=True, text=True).stdout
    names = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    check(names == NAMES, f"exported symbols differ: {sorted(set(names) ^ set(NAMES))}")


def main():
    path = sys.argv[1]
    (check_dll if path.lower().endswith(".dll") else check_so)(path)
    for message in failures:
        print("FAIL:", message)
    print(f"{path}: {'ok' if not failures else 'FAILED'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
