#!/usr/bin/env python3
"""Compares the VBA and .NET declarations with include/kelvo.h.

For each of the 54 exports: the name, the number of arguments, the width of
each argument and of the result ("ptr" for handles and pointers, else 1, 2
or 4 bytes). Also the status constants, and the VBA record types field by
field against the C records.

    check_bindings.py kelvo.h Kelvo.bas Native.cs
"""
import re
import sys

failures = []


def fail(message):
    failures.append(message)


def c_width(ctype):
    ctype = ctype.replace("const", "").strip()
    if "*" in ctype or ctype == "KELVO_HANDLE":
        return "ptr"
    return {"int32_t": 4, "uint32_t": 4, "uint16_t": 2, "uint8_t": 1}[ctype]


def parse_header(text):
    exports = {}
    for ret, name, args in re.findall(
            r"KELVO_API\s+(\w+)\s+KELVO_CALL\s+(Kelvo_\w+)\s*\((.*?)\);", text, re.S):
        args = " ".join(args.split())
        params = [] if args == "void" else [a.strip() for a in args.split(",")]
        # "const uint8_t* ports": the type is all but the name.
        widths = [c_width(p.rsplit(None, 1)[0] if "*" not in p else "*") for p in params]
        exports[name] = (c_width(ret), widths)
    statuses = {n: int(v, 16) for n, v in re.findall(r"#define (KELVO_STATUS_\w+) 0x([0-9A-Fa-f]+)",
                                                     text)}
    records = {}
    for body, name in re.findall(r"typedef struct \w+ \{(.*?)\} (\w+);", text, re.S):
        body = re.sub(r"/\*.*?\*/", "", body, flags=re.S)
        fields = []
        for ctype, field, count in re.findall(r"(\w+) (\w+)(?:\[(\d+)\])?;", body):
            fields.append((field, int(count or 1) * (1 if ctype in ("uint8_t", "char") else 0)))
        records[name] = fields
    return exports, statuses, records


VBA_WIDTHS = {"LongPtr": "ptr", "Long": 4, "Integer": 2, "Byte": 1}


def check_vba(text, exports, statuses, records):
    text = re.sub(r" _\r?\n\s*", " ", text)
    found = {}
    for name, lib, params, ret in re.findall(
            r"^Public Declare PtrSafe Function (\w+) Lib \"([^\"]+)\" \((.*?)\) As (\w+)\s*$",
            text, re.M):
        if lib != "KelvoDLL.dll":
            fail(f"Kelvo.bas: {name} from {lib}")
        widths = []
        for param in filter(None, (p.strip() for p in params.split(","))):
            m = re.fullmatch(r"(ByVal|ByRef) (\w+) As (\w+)", param)
            if not m:
                fail(f"Kelvo.bas: {name}: argument '{param}' is not ByVal/ByRef NAME As TYPE")
                continue
            passing, _, vtype = m.groups()
            if passing == "ByRef" or vtype == "String":
                widths.append("ptr")
            else:
                widths.append(VBA_WIDTHS.get(vtype, f"?{vtype}"))
        found[name] = (VBA_WIDTHS.get(ret, f"?{ret}"), widths)
    compare("Kelvo.bas", exports, {n: [d] for n, d in found.items()})

    consts = {n: int(v, 16) for n, v in re.findall(
        r"^Public Const (KELVO_STATUS_\w+) As Integer = &H([0-9A-F]+)\s*$", text, re.M)}
    if consts != statuses:
        fail(f"Kelvo.bas: status constants {consts} differ from the header's {statuses}")

    for name, body in re.findall(r"^Public Type (\w+)\s*$(.*?)^End Type", text, re.M | re.S):
        fields = []
        for field, upper, vtype in re.findall(r"^\s+(\w+)(?:\(0 To (\d+)\))? As (\w+)\s*$", body,
                                              re.M):
            # Only Bytes: the records have no padding in VBA either.
            fields.append((field, (int(upper or 0) + 1) * (vtype == "Byte")))
        if records.get(name) != fields:
            fail(f"Kelvo.bas: Type {name} {fields} differs from the header's {records.get(name)}")
    missing = set(records) - set(re.findall(r"^Public Type (\w+)", text, re.M))
    if missing:
        fail(f"Kelvo.bas: no Type for {sorted(missing)}")


CS_WIDTHS = {"IntPtr": "ptr", "string": "ptr", "int": 4, "uint": 4, "short": 2, "ushort": 2,
             "byte": 1, "sbyte": 1}


def check_dotnet(text, exports, statuses):
    found = {}
    for attrs, ret, name, params in re.findall(
            r"\[DllImport\(([^\]]*)\)\]\s*public static extern (\w+) (\w+)\((.*?)\);", text,
            re.S):
        if not re.match(r"Library, EntryPoint = \"" + name + "\", ExactSpelling = true$", attrs):
            fail(f"Native.cs: {name}: DllImport({attrs})")
        params = re.sub(r"\[[^\]]+\]", "", params)  # attributes, not "[]"
        widths = []
        for param in filter(None, (" ".join(p.split()) for p in params.split(","))):
            words = param.split()
            if words[0] in ("ref", "out") or words[-2].endswith("[]"):
                widths.append("ptr")
            else:
                widths.append(CS_WIDTHS.get(words[-2], f"?{words[-2]}"))
        found.setdefault(name, []).append((CS_WIDTHS.get(ret, f"?{ret}"), widths))
    compare("Native.cs", exports, found)
    consts = {n: int(v, 16) for n, v in re.findall(
        r"public const ushort (KELVO_STATUS_\w+) = 0x([0-9A-Fa-f]+);", text)}
    if consts != statuses:
        fail(f"Native.cs: status constants {consts} differ from the header's {statuses}")


def compare(where, exports, found):
    """found: name -> list of (return width, argument widths), one per overload."""
    for name in sorted(set(exports) - set(found)):
        fail(f"{where}: {name} is not declared")
    for name in sorted(set(found) - set(exports)):
        fail(f"{where}: {name} is not in the header")
    for name in sorted(set(found) & set(exports)):
        ret, args = exports[name]
        for fret, fargs in found[name]:
            if fret != ret:
                fail(f"{where}: {name} returns width {fret}, the header {ret}")
            if fargs != args:
                fail(f"{where}: {name} arguments {fargs}, the header {args}")


def main():
    header, vba, dotnet = (open(p, encoding="utf-8").read() for p in sys.argv[1:4])
    exports, statuses, records = parse_header(header)
    if len(exports) != 54:
        fail(f"kelvo.h: {len(exports)} exports read, expected 54")
    check_vba(vba, exports, statuses, records)
    check_dotnet(dotnet, exports, statuses)
    for message in failures:
        print("FAIL:", message)
    print(f"bindings: {'ok' if not failures else 'FAILED'} ({len(exports)} exports)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
