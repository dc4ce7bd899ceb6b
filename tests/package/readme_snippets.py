#!/usr/bin/env python3
"""Writes every ```c block of README.md to OUT_DIR/readme_N.c (N from 1) and
prints the file names, so that the tests compile and run each one."""
import pathlib
import re
import sys

readme, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
blocks = re.findall(r"^```c\n(.*?)^```", readme.read_text(), re.S | re.M)
if not blocks:
    sys.exit(f"{readme}: no C snippet")
for number, text in enumerate(blocks, 1):
    path = out / f"readme_{number}.c"
    path.write_text(text)
    print(path)
