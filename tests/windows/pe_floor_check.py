#!/usr/bin/env python3
"""Checks Windows programs against the oldest system they must load on.

usage: pe_floor_check.py OBJDUMP FLOOR_LIST PROGRAM...

FLOOR_LIST names the floor system's version ("floor 5.1") and every DLL
function that system exports and the programs may import ("KERNEL32.DLL
GetTickCount"). Each program's PE header and import table are read with
objdump -p. A program fails when it imports a function the list does not
hold (that system's loader would refuse to start it), or when its header's
operating-system or subsystem version is later than the floor's (refused as
well). Exit status 0 when every program passes, 1 otherwise, 2 on bad use.
"""
import re
import subprocess
import sys


def read_floor(path):
    floor, allowed = None, set()
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            words = line.split()
            if words[0] == "floor" and len(words) == 2:
                floor = tuple(int(x) for x in words[1].split("."))
            elif len(words) == 2:
                allowed.add((words[0].upper(), words[1]))
            else:
                sys.exit(f"{path}:{number}: expected 'DLL FUNCTION' or 'floor M.N'")
    if floor is None:
        sys.exit(f"{path}: no 'floor M.N' line")
    return floor, allowed


def read_program(objdump, program):
    text = subprocess.run([objdump, "-p", program], check=True, capture_output=True,
                          text=True).stdout
    header = {}
    for key in ("MajorOSystemVersion", "MinorOSystemVersion", "MajorSubsystemVersion",
                "MinorSubsystemVersion"):
        m = re.search(rf"^{key}\s+(\d+)", text, re.M)
        header[key] = int(m.group(1)) if m else None
    imports, dll = [], None
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).upper()
            continue
        m = re.match(r"\t[0-9a-f]+\t\s*(\d+)\s+(\S+)", line)
        if m and dll:
            imports.append((dll, m.group(2)))
            continue
        m = re.match(r"\t[0-9a-f]+\t\s*<none>\s+([0-9a-f]+)", line)
        if m and dll:  # by ordinal: cannot be checked against names
            imports.append((dll, f"#ordinal {int(m.group(1), 16)}"))
    return header, imports


def main(argv):
    if len(argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    objdump, floor_path, programs = argv[1], argv[2], argv[3:]
    floor, allowed = read_floor(floor_path)
    floor_text = ".".join(map(str, floor))
    failures = 0
    for program in programs:
        name = program.rsplit("/", 1)[-1]
        header, imports = read_program(objdump, program)
        if not imports:
            print(f"FAIL {name}: no import table found")
            failures += 1
        for kind in ("OSystem", "Subsystem"):
            version = (header[f"Major{kind}Version"], header[f"Minor{kind}Version"])
            if None in version or version > floor:
                print(f"FAIL {name}: {kind} version {version[0]}.{version[1]} is later than "
                      f"the floor's {floor_text}")
                failures += 1
        missing = sorted(set(i for i in imports if i not in allowed))
        for dll, function in missing:
            print(f"FAIL {name}: imports {dll}!{function}, which the floor system "
                  f"({floor_text}) does not export")
        failures += len(missing)
        if not missing:
            print(f"ok   {name}: {len(imports)} imports, all on the floor list")
    print(f"{len(programs)} programs checked against {floor_path.rsplit('/', 1)[-1]}: "
          f"{failures} faults")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
