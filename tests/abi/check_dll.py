#!/usr/bin/env python3
"""Checks what Windows' loader and an FFI see of ffiref.dll.

usage: check_dll.py OBJDUMP DLL EXPORTS_DEF EXPORTS_MAP
OBJDUMP is the MinGW-w64 binutils' objdump for the DLL's machine.
Prints one line per check and 'N passed, N failed'; exits 1 on a failure.
"""
import re
import subprocess
import sys

from check_shared_object import INTERFACE, exported_names as map_names, report

# DLLs that every Windows installation has. MinGW's own runtime DLLs
# (libgcc_s_*, libstdc++-6, libwinpthread-1) must not appear: the library is
# loaded by path into processes that do not ship them.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "advapi32.dll", "user32.dll"}
STDCALL = {"sumStdCall": 8}  # on 32-bit x86: the bytes of arguments it pops


def objdump(tool, *args, path):
    return subprocess.run([tool, *args, path], check=True, capture_output=True,
                          text=True).stdout


def def_entries(path):
    """Name -> the words after it, for each entry of the .def file."""
    lines = open(path).read().split("EXPORTS", 1)[1].splitlines()
    return {line.split()[0]: line.split()[1:] for line in lines
            if line.strip() and not line.strip().startswith(";")}


def exports(headers):
    """Name -> RVA of every named export."""
    rvas = {int(index): int(rva, 16) for index, rva in
            re.findall(r"^\s*\[\s*(\d+)\] \+base\[\s*\d+\] ([0-9a-f]+) Export RVA", headers, re.M)}
    table = headers.split("[Ordinal/Name Pointer] Table", 1)[-1]
    return {name: rvas.get(int(index)) for index, name in
            re.findall(r"^\s*\[\s*(\d+)\] (\S+)$", table.split("\n\n", 1)[0], re.M)}


def sections(tool, path):
    """(name, first VMA, end VMA) of every section."""
    found = []
    for line in objdump(tool, "-h", path=path).splitlines():
        fields = line.split()
        if len(fields) >= 4 and fields[0].isdigit():
            start = int(fields[3], 16)
            found.append((fields[1], start, start + int(fields[2], 16)))
    return found


def functions(disassembly):
    """Start address -> (end address, [(address, instruction)]) per label."""
    bodies = {}
    current = None
    for line in disassembly.splitlines():
        label = re.match(r"^([0-9a-f]+) <(.+)>:$", line)
        if label:
            current = int(label.group(1), 16)
            bodies[current] = []
            continue
        instruction = re.match(r"^\s*([0-9a-f]+):\t(?:[0-9a-f]{2} )+\s*\t(.+)$", line)
        if instruction and current is not None:
            bodies[current].append((int(instruction.group(1), 16), instruction.group(2).strip()))
    starts = sorted(bodies)
    ends = dict(zip(starts, starts[1:] + [float("inf")]))
    return {start: (ends[start], bodies[start]) for start in starts}


def returns(body, end, start):
    """The function's ret instructions, and whether it leaves by a tail jump."""
    rets = [text for _, text in body if text.startswith("ret")]
    tail_jump = False
    for _, text in body:
        jump = re.match(r"(?:rex\.W )?jmp\s+(?:\*%\w+$|([0-9a-f]+) <)", text)
        # To a register (a callback) or to an address outside the function.
        if jump and (jump.group(1) is None or not start <= int(jump.group(1), 16) < end):
            tail_jump = True
    return rets, tail_jump


def main():
    tool, dll, def_path, map_path = sys.argv[1:5]
    wanted = INTERFACE
    entries = def_entries(def_path)
    listed = set(entries)
    mapped = map_names(map_path)
    headers = objdump(tool, "-p", path=dll)
    machine = re.search(r"file format (\S+)", headers).group(1)
    image_base = int(re.search(r"^ImageBase\s+([0-9a-f]+)", headers, re.M).group(1), 16)
    exported = exports(headers)
    imported = re.findall(r"DLL Name: (\S+)", headers)
    data_rva = exported.get("_data")
    data_sections = [name for name, first, end in sections(tool, dll)
                     if data_rva is not None and first <= image_base + data_rva < end]
    bodies = functions(objdump(tool, "-d", path=dll))

    checks = [
        ("the .def file lists the 17 names and no other", listed == wanted,
         sorted(listed ^ wanted)),
        ("so does the version script", mapped == wanted, sorted(mapped ^ wanted)),
        # Import libraries then give callers _data itself, not a thunk to it.
        ("the .def file marks _data as DATA", entries.get("_data") == ["DATA"],
         entries.get("_data")),
        ("the export table lists exactly the 17 names, undecorated",
         set(exported) == wanted, sorted(set(exported) ^ wanted)),
        ("_data is exported from a writable data section", data_sections == [".data"],
         data_sections),
        ("only system DLLs are imported",
         all(name.lower() in SYSTEM_DLLS for name in imported), imported),
    ]

    x86 = machine == "pei-i386"
    for name in sorted(wanted - {"_data"}):
        start = image_base + exported[name] if exported.get(name) is not None else None
        if start not in bodies:
            checks.append((f"{name} is disassembled", False, "no code at its export"))
            continue
        end, body = bodies[start]
        rets, tail_jump = returns(body, end, start)
        popped = STDCALL.get(name, 0) if x86 else 0
        if popped:
            checks.append((f"{name} is __stdcall: returns with ret $0x{popped:x}",
                           rets and all(r == f"ret    $0x{popped:x}" for r in rets), rets))
        else:
            # A tail jump to another function is cdecl as well: a callee that
            # had to pop its arguments could not hand its return over.
            checks.append((f"{name} pops nothing: plain ret or a tail jump",
                           (rets or tail_jump) and all(r == "ret" for r in rets), rets))

    print(f"{dll} ({machine}): imports {', '.join(imported)}")
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
