#!/usr/bin/env python3
"""The manual pages: one in section 3 for each export of the header and no
other, kelvo(7) with the library's environment, and the tools' pages
kelvo(1), kelvo-sim(1) and kelvo-gateway(8); each renders with
`man --warnings -l` without warnings and has the sections a page needs.

    check_man_pages.py kelvo.h MAN_DIR
"""
import os
import pathlib
import re
import subprocess
import sys

TOOL = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "EXAMPLES", "SEE ALSO"]
SECTIONS = {"3": ["NAME", "SYNOPSIS", "DESCRIPTION", "RETURN VALUE", "SEE ALSO"],
            "7": ["NAME", "SYNOPSIS", "DESCRIPTION", "STATUS CODES", "FUNCTIONS", "ENVIRONMENT"],
            "1": TOOL, "8": TOOL}
TOOL_PAGES = ["man1/kelvo.1", "man1/kelvo-sim.1", "man8/kelvo-gateway.8"]


def main():
    header, man = pathlib.Path(sys.argv[1]).read_text(), pathlib.Path(sys.argv[2])
    exports = set(re.findall(r"KELVO_CALL\s+(Kelvo_\w+)\s*\(", header))
    pages = {p.stem for p in (man / "man3").glob("*.3")}
    failures = []
    if len(exports) != 54 or pages != exports:
        failures.append(f"{len(exports)} exports, {len(pages)} pages; without a page: "
                        f"{sorted(exports - pages)}, without an export: {sorted(pages - exports)}")
    env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
    for page in (sorted((man / "man3").glob("*.3")) + [man / "man7" / "kelvo.7"] +
                 [man / p for p in TOOL_PAGES]):
        if not page.is_file():
            failures.append(f"{page.name}: missing")
            continue
        run = subprocess.run(["man", "--warnings", "-l", str(page)], capture_output=True,
                             text=True, env=env)
        missing = [s for s in SECTIONS[page.suffix[1:]]
                   if not re.search(rf"^{s}$", run.stdout, re.M)]
        if run.returncode or run.stderr.strip() or missing:
            failures.append(f"{page.name}: exit {run.returncode}, missing {missing}, "
                            f"{run.stderr.strip()[:300]}")
        elif page.suffix == ".3" and f"{page.stem}(" not in run.stdout.split("DESCRIPTION")[0]:
            failures.append(f"{page.name}: its synopsis does not declare {page.stem}")
        elif page.suffix == ".7" and not all(
                re.search(rf"^ +{v}$", run.stdout, re.M)
                for v in ("KELVO_TRACE", "KELVO_DEVICE_LIST_DIR")):
            failures.append(f"{page.name}: KELVO_TRACE or KELVO_DEVICE_LIST_DIR not described")
    for message in failures:
        print("FAIL:", message)
    print(f"man pages: {'ok' if not failures else 'FAILED'} ({len(pages)} in section 3, "
          f"kelvo(7), {len(TOOL_PAGES)} of the tools)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
