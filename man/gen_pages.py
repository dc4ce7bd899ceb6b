#!/usr/bin/env python3
"""Writes the manual pages from the comments of include/kelvo.h: one page in
section 3 per export and kelvo(7), the overview; and the tools' pages
kelvo(1), kelvo-sim(1) and kelvo-gateway(8), written by hand in tools/.

    gen_pages.py kelvo.h OUT_DIR VERSION      (writes OUT_DIR/man1, man3, man7, man8)

What the header's comments hold, and where it goes:

    /* ---- Digital I/O ----------------------    a group: its text goes to the
     * Text common to the group.                 NOTES of each member and to
     * Returns ... (default for the members).    kelvo(7)
     */
    /* Kelvo_ReadDIO - read one port.            NAME (the first sentence)
     *   port  port number (byte)                ARGUMENTS (two spaces, the name,
     *   data  receives the port's value;        two or more spaces; deeper lines
     *         0 on any failure                  continue the text)
     * Other text.                               DESCRIPTION
     * Returns ...                               RETURN VALUE (else the group's)
     * Note: ...                                 NOTES
     * See also: Kelvo_WriteDIO. */              SEE ALSO (with the counterparts)

Every argument but the handle must be described, and every export must have
a return text of its own or from its group: the script fails otherwise.
"""
import pathlib
import re
import sys

HANDLE_TEXT = "a unit's handle, from Kelvo_Open or Kelvo_OpenByIP"
MANUAL = "Kelvo Library Manual"


class Failure(Exception):
    pass


def comment_lines(comment):
    """The lines of a /* */ comment without the markers, indentation kept."""
    body = comment[2:-2]
    lines = []
    for line in body.split("\n"):
        line = re.sub(r"^\s*\* ?", "", line) if lines else line.lstrip()
        lines.append(line.rstrip())
    while lines and not lines[-1]:
        lines.pop()
    return lines


def split_prose(text):
    """Splits text at "Returns", "Note:" and "See also:" sentence starts."""
    parts = {"description": "", "returns": "", "notes": [], "see": []}
    marks = [m.start() for m in re.finditer(
        r"(?:^|(?<=\. )|(?<=\) ))(?=Returns\b|Note: |See also: )", text)]
    parts["description"] = text[:marks[0] if marks else len(text)].strip()
    for begin, end in zip(marks, marks[1:] + [len(text)]):
        piece = text[begin:end].strip()
        if piece.startswith("Returns"):
            parts["returns"] = piece
        elif piece.startswith("Note: "):
            note = piece[len("Note: "):]
            parts["notes"].append(note[0].upper() + note[1:])
        else:
            parts["see"] = re.findall(r"\w+(?:\(\d\))?", piece[len("See also: "):])
    return parts


def parse(header):
    items = re.finditer(r"/\*.*?\*/|KELVO_API\s+(\w+)\s+KELVO_CALL\s+(\w+)\s*\((.*?)\);", header,
                        re.S)
    exports, groups = [], []
    overview = None
    last_comment = None
    for item in items:
        if item.group(0).startswith("/*"):
            lines = comment_lines(item.group(0))
            if overview is None:
                overview = lines
            elif lines and lines[0].startswith("----"):
                title = lines[0].strip("- ")
                groups.append({"title": title, **split_prose(" ".join(lines[1:]))})
            last_comment = (item.end(), lines)
            continue
        ret, name, args = item.groups()
        args = " ".join(args.split())
        params = [] if args == "void" else [a.strip() for a in args.split(",")]
        names = [re.search(r"(\w+)$", p).group(1) for p in params]
        if not last_comment or header[last_comment[0]:item.start()].strip():
            raise Failure(f"{name}: no comment of its own right above it")
        lines = last_comment[1]
        if not lines[0].startswith(name + " - "):
            raise Failure(f"{name}: its comment starts '{lines[0]}'")
        summary, rest = [lines[0][len(name) + 3:]], lines[1:]
        while not summary[-1].endswith(".") and rest and not rest[0].startswith("  "):
            summary.append(rest.pop(0))
        summary = " ".join(summary)
        arguments, prose = {}, []
        current = None
        for line in rest:
            m = re.match(r"^  (\w+)\s{2,}(.*)$", line)
            if m and m.group(1) in names:
                current = m.group(1)
                arguments[current] = m.group(2)
            elif current and line.startswith("    "):
                arguments[current] += " " + line.strip()
            else:
                current = None
                prose.append(line.strip())
        parts = split_prose(" ".join(prose))
        group = groups[-1] if groups else None
        if "handle" in names and "handle" not in arguments:
            arguments["handle"] = HANDLE_TEXT
        missing = [n for n in names if n not in arguments]
        if missing:
            raise Failure(f"{name}: no text for the argument(s) {', '.join(missing)}")
        if not parts["returns"] and not (group and group["returns"]):
            raise Failure(f"{name}: no return text, neither its own nor its group's")
        exports.append({"name": name, "ret": ret, "params": params, "names": names,
                        "summary": summary.rstrip("."), "arguments": arguments,
                        "group": group, **parts})
    return overview, groups, exports


def roff(text):
    """Escapes text for troff and sets the names of exports in bold."""
    text = text.replace("\\", "\\e")
    text = re.sub(r"\b(Kelvo_\w+)", r"\\fB\1\\fP", text)
    return "\n".join(("\\&" + line if line.startswith((".", "'")) else line)
                     for line in text.split("\n"))


def synopsis(export):
    pieces = [f"{export['ret']} {export['name']}("]
    out = []
    if not export["params"]:
        return f'.B "{pieces[0]}void);"'
    for i, (param, pname) in enumerate(zip(export["params"], export["names"])):
        ctype = param[:param.rindex(pname)].rstrip()
        pieces[-1] += ctype + " "
        out.append(f'"{pieces[-1]}"')
        out.append(pname)
        pieces.append(", " if i < len(export["params"]) - 1 else ");")
    out.append(f'"{pieces[-1]}"')
    return ".BI " + " ".join(out)


def counterparts(name, all_names):
    swaps = [("Set", "Get"), ("Get", "Set"), ("Read", "Write"), ("Write", "Read"),
             ("Multi", "")]
    if name.startswith("Kelvo_Mem"):  # the DIO and AIO names of one operation
        swaps += [("DIO", "AIO"), ("AIO", "DIO")]
    found = []
    for old, new in swaps:
        other = name.replace(old, new, 1)
        if other != name and other in all_names and other not in found:
            found.append(other)
    if name.startswith("Kelvo_") and "Kelvo_Multi" + name[6:] in all_names:
        found.append("Kelvo_Multi" + name[6:])
    return found


def page_head(title, section, date, version):
    # .nh: names like Kelvo_MemSeekReadDIO are not to be hyphenated.
    return f'.TH {title} {section} {date} "kelvo {version}" "{MANUAL}"\n.nh\n'


LINK = ("Link with \\fB\\-lkelvo\\fP (Linux; \\fBpkg\\-config \\-\\-libs kelvo\\fP) or with "
        "an import library of \\fBKelvoDLL.dll\\fP (Windows).\n")


def export_page(export, all_names, date, version):
    name = export["name"]
    out = [page_head(name.upper(), 3, date, version)]
    out.append(f".SH NAME\n{name} \\- {roff(export['summary'])}\n")
    out.append(".SH SYNOPSIS\n.nf\n.B #include <kelvo.h>\n.PP\n" + synopsis(export) + "\n.fi\n")
    out.append(".PP\n" + LINK)
    description = export["description"] or export["summary"][0].upper() + export["summary"][1:] + "."
    out.append(".SH DESCRIPTION\n" + roff(description) + "\n")
    if export["names"]:
        out.append(".SH ARGUMENTS\n")
        for pname in export["names"]:
            out.append(f".TP\n.I {pname}\n{roff(export['arguments'][pname])}\n")
    group = export["group"]
    returns = export["returns"] or group["returns"]
    out.append(".SH RETURN VALUE\n" + roff(returns) + "\n")
    notes = [roff(n) for n in export["notes"]]
    if group and group["description"]:
        notes.append(f"\\fI{group['title']}.\\fP " + roff(group["description"]))
    if notes:
        out.append(".SH NOTES\n" + "\n.PP\n".join(notes) + "\n")
    see = [s for s in export["see"] if s != name]
    see += [s for s in counterparts(name, all_names) if s not in see]
    refs = [f"{s[:-3]} ({s[-2]})" if s.endswith(")") else f"{s} (3)" for s in see]
    if "kelvo(7)" not in see:
        refs.append("kelvo (7)")
    out.append(".SH SEE ALSO\n" + ",\n".join(".BR " + r for r in refs) + "\n")
    return "".join(out)


def overview_page(header, overview, groups, exports, date, version):
    out = [page_head("KELVO", 7, date, version)]
    out.append(".SH NAME\nkelvo \\- client library for Kelvo Ethernet I/O units\n")
    out.append(".SH SYNOPSIS\n.nf\n.B #include <kelvo.h>\n.B #include <kelvo_models.h>\n.fi\n.PP\n"
               + LINK)
    # The header's first comment, without its title line ("kelvo.h - ...").
    paragraphs = "\n".join(overview).strip().split("\n", 1)[1].strip().split("\n\n")
    out.append(".SH DESCRIPTION\n" + "\n.PP\n".join(roff(" ".join(p.split())) for p in paragraphs)
               + "\n")
    out.append(".SH STATUS CODES\n")
    for code, value, text in re.findall(r"#define (KELVO_STATUS_\w+) (0x\w+)\s*/\* (.*?) \*/",
                                        header):
        out.append(f".TP\n.B {code}\n{value}: {roff(text)}.\n")
    out.append(".SH RECORDS\n")
    for struct in re.findall(r"typedef struct \w+ \{.*?\} \w+;", header, re.S):
        out.append(".PP\n.nf\n" + roff(struct) + "\n.fi\n")
    out.append(".SH FUNCTIONS\n")
    for group in groups:
        out.append(f".SS {group['title']}\n{roff(group['description'])}\n")
        if group["returns"]:
            out.append(".PP\n" + roff(group["returns"]) + "\n")
        for export in (e for e in exports if e["group"] is group):
            out.append(f".TP\n.BR {export['name']} (3)\n{roff(export['summary'])}.\n")
    out.append(ENVIRONMENT)
    out.append(".SH SEE ALSO\n.BR Kelvo_Initial (3),\n.BR Kelvo_BrowseDevice (3),\n"
               ".BR Kelvo_Open (3),\n.BR kelvo (1),\n.BR kelvo\\-sim (1),\n"
               ".BR kelvo\\-gateway (8)\n")
    return "".join(out)


ENVIRONMENT = r""".SH ENVIRONMENT
.TP
.B KELVO_TRACE
A file name, or
.BR stderr :
the library appends one line per exchange, discovery answer and
identification to that file, or writes it to standard error. An exchange line
names the unit (model, unit ID and address), the request's command byte,
sequence number and length, how long the exchange took and its outcome
.RB ( ok ,
.BR "timeout after 1500 ms" ,
.BR "connection closed" ,
.BR "unit status \fIN\fB" ,
\&...), followed after a failure by the outcome of the reconnect. Read by
.BR Kelvo_Initial (3):
a running program changes it with its next
.BR Kelvo_Initial .
Unset, the library writes nothing.
.TP
.B KELVO_DEVICE_LIST_DIR
The directory of the device-list file
.IR Kelvo.ini ,
in place of the Windows directory (on Linux
.BR $WINDIR ,
else
.IR /etc ),
on both systems: a program can so give
.B Kelvo_Initial
a list of its own.
.TP
.B WINDIR
On Linux, the directory of
.I Kelvo.ini
when
.B KELVO_DEVICE_LIST_DIR
is not set.
.SH FILES
.TP
.I Kelvo.ini
The device list: the first line is the mode
.RB ( 0
broadcast only,
.B 1
the listed units only, anything else both), then one unit per line,
.IB name , "model code" , "unit ID" , "IPv4 address" , MAC , "aux byte" \fR,
each line ending in CR LF.
"""

TOOL_PAGES = ("kelvo.1", "kelvo-sim.1", "kelvo-gateway.8")


def main():
    header_path, out_dir, version = sys.argv[1], pathlib.Path(sys.argv[2]), sys.argv[3]
    tools = pathlib.Path(__file__).resolve().parent / "tools"
    header = pathlib.Path(header_path).read_text()
    # major.minor.YY.MMDD: the last two numbers are the release date.
    yy, mmdd = version.split(".")[2:4]
    date = f"20{int(yy):02d}-{int(mmdd) // 100:02d}-{int(mmdd) % 100:02d}"
    try:
        overview, groups, exports = parse(header)
    except Failure as failure:
        sys.exit(f"{header_path}: {failure}")
    names = [e["name"] for e in exports]
    for section in ("man1", "man3", "man7", "man8"):
        (out_dir / section).mkdir(parents=True, exist_ok=True)
        for old in (out_dir / section).glob("*"):
            old.unlink()
    for export in exports:
        (out_dir / "man3" / f"{export['name']}.3").write_text(
            export_page(export, names, date, version))
    (out_dir / "man7" / "kelvo.7").write_text(
        overview_page(header, overview, groups, exports, date, version))
    # The tools' pages are written by hand; only their date and version are filled in.
    for name in TOOL_PAGES:
        text = (tools / name).read_text().replace("@KELVO_MAN_DATE@", date)
        (out_dir / f"man{name[-1]}" / name).write_text(text.replace("@PROJECT_VERSION@", version))
    print(f"{len(exports)} pages in section 3, kelvo(7), {', '.join(TOOL_PAGES)}")


if __name__ == "__main__":
    main()
