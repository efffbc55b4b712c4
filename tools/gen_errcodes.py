#!/usr/bin/env python3
"""Writes the class per SQLSTATE of ztcondb/errors.py from the server's errcodes.txt.

    tools/gen_errcodes.py [--check] [errcodes.txt]

Without a path, the newest errcodes.txt the PostgreSQL server package installed is
read. The classes go between the "generated: start" and "generated: end" lines of
ztcondb/errors.py; --check writes nothing and exits 1 when the file differs from what
it would write. Success and warning codes (classes 00 and 01) get no class; a condition
name met twice gets "Ext" on its second class (the 38xxx repeats of 2Fxxx), and one that
would hide a base class gets "_" (InternalError_).
"""
from __future__ import annotations

import glob
import os
import re
import sys
from typing import List, Optional, Tuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TARGET = os.path.join(ROOT, "ztcondb", "errors.py")
START = "# generated: start (tools/gen_errcodes.py)\n"
END = "# generated: end\n"

# The base class of a SQLSTATE by its first two characters, else its first one;
# DatabaseError for the rest.
BASES = {
    "08": "OperationalError", "0A": "NotSupportedError", "20": "ProgrammingError",
    "21": "ProgrammingError", "22": "DataError", "23": "IntegrityError",
    "24": "InternalError", "25": "InternalError", "26": "ProgrammingError",
    "27": "OperationalError", "28": "OperationalError", "2B": "InternalError",
    "2D": "InternalError", "2F": "OperationalError", "34": "ProgrammingError",
    "38": "OperationalError", "39": "OperationalError", "3B": "OperationalError",
    "3D": "ProgrammingError", "3F": "ProgrammingError", "40": "OperationalError",
    "42": "ProgrammingError", "44": "ProgrammingError", "53": "OperationalError",
    "54": "OperationalError", "55": "OperationalError", "57": "OperationalError",
    "58": "OperationalError", "F": "OperationalError", "H": "OperationalError",
    "P": "ProgrammingError", "X": "InternalError",
}
RESERVED = {"Error", "Warning", "InterfaceError", "DatabaseError", "DataError",
            "OperationalError", "IntegrityError", "InternalError", "ProgrammingError",
            "NotSupportedError"}


def base_of(code: str) -> str:
    return BASES.get(code[:2]) or BASES.get(code[:1]) or "DatabaseError"


def installed_errcodes() -> Optional[str]:
    """The errcodes.txt of the newest installed server version, or None."""
    found = glob.glob("/usr/share/postgresql/*/errcodes.txt")
    found.sort(key=lambda p: [int(n) for n in re.findall(r"\d+", p)])
    return found[-1] if found else None


def parse(text: str) -> List[Tuple[str, List[Tuple[str, str, str]]]]:
    """The sections of errcodes.txt with their (code, class name, constant name) rows."""
    sections: List[Tuple[str, List[Tuple[str, str, str]]]] = []
    seen = set()
    for line in text.splitlines():
        if line.startswith("Section:"):
            sections.append((line[len("Section:"):].strip(), []))
            continue
        fields = line.split()
        if not fields or line.startswith("#") or len(fields) < 4 or not sections:
            continue
        code, kind, name = fields[0], fields[1], fields[3]
        if kind != "E" and not sections[-1][0].startswith("Class 02"):
            continue
        cls = "".join(part.capitalize() for part in name.split("_"))
        if cls in seen:
            cls += "Ext"
        elif cls in RESERVED:
            cls += "_"
        seen.add(cls)
        sections[-1][1].append((code, cls, name.upper()))
    return [(title, rows) for title, rows in sections if rows]


def render(text: str) -> str:
    out = [START]
    for title, rows in parse(text):
        # The section's class code ("Class 0P") heads its classes.
        out.append("\n\n# %s\n" % title.split(" - ")[0])
        for code, cls, name in rows:
            out.append("\nclass %s(%s, code=%r, name=%r):\n    pass\n"
                       % (cls, base_of(code), code, name))
    out.append("\n\n" + END)
    return "".join(out)


def spliced(current: str, generated: str) -> str:
    head, _, rest = current.partition(START)
    _, _, tail = rest.partition(END)
    return head + generated + tail


def main(argv: List[str]) -> int:
    check = "--check" in argv
    paths = [a for a in argv if a != "--check"]
    source = paths[0] if paths else installed_errcodes()
    if source is None:
        print("no errcodes.txt installed (the PostgreSQL server package ships it)",
              file=sys.stderr)
        return 2
    with open(source, encoding="utf-8") as f:
        generated = render(f.read())
    with open(TARGET, encoding="utf-8") as f:
        current = f.read()
    if START not in current or END not in current:
        print("%s has no generated region" % TARGET, file=sys.stderr)
        return 2
    wanted = spliced(current, generated)
    if check:
        if wanted != current:
            print("ztcondb/errors.py differs from %s: run tools/gen_errcodes.py" % source,
                  file=sys.stderr)
            return 1
        return 0
    with open(TARGET, "w", encoding="utf-8") as f:
        f.write(wanted)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
