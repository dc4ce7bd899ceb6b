"""The model table as ``kelvo_models.h`` states it, read from the header's text.

A built package carries the table as ``kelvo/_models.py``, written from the
header by ``setup.py`` when the wheel is built; a source checkout has no
such file, and :mod:`kelvo.models` reads the header itself, through this
module. Plain standard library, so that ``setup.py`` can load it by path.
"""

import os
import re
from typing import Dict, List, Tuple

Row = Tuple[int, str, int, int, int, int, int]

HEADER_IN_TREE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                              os.pardir, "library", "include", "kelvo_models.h")


def parse(text: str) -> Tuple[Dict[str, int], Dict[int, str], List[Row]]:
    """``(kinds, kind_names, rows)`` of the header: ``{"DIGITAL_IN": 1, ...}``,
    ``{1: "digital input", ...}`` and one ``(code, name, kind, total, inputs,
    outputs, bits)`` per model, in code order. Raises ValueError when the
    header does not read as expected, rather than give a partial table."""
    kinds = {name: int(value) for name, value in
             re.findall(r"\bKELVO_KIND_(\w+)\s*=\s*(\d+)", text)}
    kinds.pop("NONE", None)
    kind_names = {kinds[name]: label for name, label in
                  re.findall(r"case KELVO_KIND_(\w+):\s*return \"([^\"]+)\";", text)
                  if name in kinds}
    rows = []
    for code, name, kind, *counts in re.findall(
            r'\{\s*(\d+),\s*"(KV-\d+)",\s*KELVO_KIND_(\w+),\s*(\d+),\s*(\d+),\s*(\d+),\s*(\d+)\s*\}',
            text):
        if kind not in kinds:
            raise ValueError(f"kelvo_models.h: {name} has the unknown kind {kind}")
        rows.append((int(code), name, kinds[kind], *map(int, counts)))
    count = re.search(r"#define KELVO_MODEL_COUNT (\d+)", text)
    if (not count or len(rows) != int(count.group(1)) or [r[0] for r in rows] !=
            list(range(1, len(rows) + 1)) or set(kind_names) != set(kinds.values())):
        raise ValueError("kelvo_models.h: the model table does not read as expected "
                         f"({len(rows)} rows, kinds {sorted(kinds)})")
    return kinds, kind_names, rows


def read(path: str = HEADER_IN_TREE) -> Tuple[Dict[str, int], Dict[int, str], List[Row]]:
    with open(path, encoding="ascii") as f:
        return parse(f.read())


def module_text(path: str) -> str:
    """The text of ``_models.py`` for the header at ``path``."""
    kinds, kind_names, rows = read(path)
    lines = ['"""The model table of kelvo_models.h, written when the package was built."""',
             "", f"KINDS = {kinds!r}", f"KIND_NAMES = {kind_names!r}", "ROWS = ("]
    lines += [f"    {row!r}," for row in rows]
    lines += [")", ""]
    return "\n".join(lines)
