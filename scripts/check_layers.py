#!/usr/bin/env python3
"""Checks that each folder of the product uses only the folders below it.

    scripts/check_layers.py [BUILD_DIR] [--picture]

Two kinds of use are checked: an #include "folder/..." in a source or header,
and, when BUILD_DIR holds a build (its compile_commands.json and objects), a
symbol that an object of one folder needs and an object of another folder
defines (nm). With --picture it prints which folder uses which instead of
failing. Exit status 1 names every use that breaks the table below.
"""
import json
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Each folder and the folders it may use besides itself and include/.
MAY_USE = {
    "platform": set(),
    "device": {"platform"},
    "commands": {"device", "platform"},
    "dfu": {"device", "platform"},
    "DataStore": {"device", "platform"},
    "lib_top": {"DataStore", "dfu", "commands", "device", "platform"},
    "sim": {"platform"},
    "tools": {"platform"},
}
# Protocol files a folder may share without using the rest of the folder: the
# simulated board implements the transport seam and speaks the same wire
# formats as the library; dirovctl reads DFU files with the same codec.
SHARED = {
    "sim": {"device/transport.h", "device/transport.cpp", "device/msos_descriptors.h",
            "device/msos_descriptors.cpp", "dfu/dfu_protocol.h", "dfu/dfu_record.h"},
    "tools": {"dfu/dfu_record.h"},
}
# Folders that may call anything the shared library exports (the public API).
API_USERS = {"sim", "tools"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(rel):
    top = rel.split("/", 1)[0]
    return top if top in MAY_USE or top == "include" else None


def allowed(user, rel):
    used = folder_of(rel)
    return (used in (None, user, "include") or used in MAY_USE[user] or
            rel in SHARED.get(user, set()))


def include_uses():
    for folder in MAY_USE:
        for path in sorted((ROOT / folder).rglob("*")):
            if path.suffix not in (".c", ".cpp", ".h"):
                continue
            rel = path.relative_to(ROOT).as_posix()
            for target in INCLUDE.findall(path.read_text(errors="replace")):
                yield folder, rel, target


def nm(obj, *flags):
    out = subprocess.run(["nm", "--no-sort", *flags, str(obj)], capture_output=True, text=True,
                         check=True).stdout
    return [line.split() for line in out.splitlines() if line.strip()]


def exported(build):
    libs = sorted(build.glob("libdirov410.so*"))
    return {f[-1] for f in nm(libs[0], "-D", "--defined-only")} if libs else set()


def symbol_uses(build):
    commands = build / "compile_commands.json"
    if not commands.exists():
        return
    api = exported(build)
    objects = {}
    for entry in json.loads(commands.read_text()):
        src = Path(entry["file"]).resolve()
        try:
            rel = src.relative_to(ROOT).as_posix()
        except ValueError:
            continue
        words = entry.get("arguments") or entry["command"].split()
        out = Path(entry["directory"]) / (entry.get("output") or words[words.index("-o") + 1])
        if folder_of(rel) and out.exists():
            objects[rel] = out
    # Strong definitions only: inline functions and template instances are
    # weak and defined wherever they are used.
    defined = {}
    for rel, obj in objects.items():
        for fields in nm(obj, "--defined-only"):
            if len(fields) == 3 and fields[1] in "TDBRGS":
                defined.setdefault(fields[2], rel)
    for rel, obj in objects.items():
        for fields in nm(obj, "--undefined-only"):
            where = defined.get(fields[-1])
            if where and folder_of(rel) in API_USERS and fields[-1] in api:
                where = "include/dirov410.h"
            if where and folder_of(where) != folder_of(rel):
                yield folder_of(rel), rel, where, fields[-1]


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    picture = "--picture" in sys.argv
    build = Path(args[0]) if args else None
    uses, faults = {}, []
    for folder, rel, target in include_uses():
        used = folder_of(target)
        if used and used != folder:
            uses.setdefault(folder, set()).add(used)
        if not allowed(folder, target):
            faults.append(f"{rel} includes {target}")
    for folder, rel, where, symbol in symbol_uses(build) if build else ():
        uses.setdefault(folder, set()).add(folder_of(where))
        if not allowed(folder, where):
            faults.append(f"{rel} uses {symbol} from {where}")
    if picture:
        for folder in MAY_USE:
            print(f"{folder:10} -> {' '.join(sorted(uses.get(folder, ()))) or '-'}")
        return 0
    for fault in faults:
        print(f"layering: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
