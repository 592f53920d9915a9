#!/usr/bin/env python3
"""Checks what a dynamic loader and an FFI see of libffiref.so.

usage: check_shared_object.py LIBRARY EXPORTS_MAP
Prints one line per check and 'N passed, N failed'; exits 1 on a failure.
"""
import re
import subprocess
import sys


# The interface, spelled out here rather than read from the export map, so
# that a name changed in the map and the sources alike still fails.
INTERFACE = {
    "_data", "sumStdCall", "printStringCdeclCall", "copySampleStructure", "copyUnionStructure",
    "calculateSunFromBitStructure", "fillKeyValueStructure", "findValueByKey",
    "fillLinkedStructures", "findMinimum", "removeDuplicates", "calculateSum", "createArray",
    "fillArray", "removeDuplicatesFromString", "findLongest", "convert",
}


def readelf(*args, path):
    return subprocess.run(["readelf", "-W", *args, path], check=True,
                          capture_output=True, text=True).stdout


def exported_names(map_path):
    text = re.sub(r"/\*.*?\*/", "", open(map_path).read(), flags=re.S)
    body = text.split("global:")[1].split("local:")[0]
    return {name.strip() for name in body.split(";") if name.strip()}


def dynamic_symbols(path):
    """(name, version, type, bind, ndx, value, size) of each dynamic symbol."""
    symbols = []
    for line in readelf("--dyn-syms", path=path).splitlines():
        fields = line.split()
        if len(fields) < 8 or not fields[0].rstrip(":").isdigit():
            continue
        name, _, version = fields[7].partition("@")
        symbols.append(dict(name=name, version=version.lstrip("@"), type=fields[3],
                            bind=fields[4], visibility=fields[5], ndx=fields[6],
                            value=int(fields[1], 16), size=int(fields[2], 0)))
    return symbols


def report(checks):
    """Prints one line per (title, ok, detail) check and the summary line;
    returns the exit status."""
    failed = 0
    for title, ok, detail in checks:
        print(("ok   " if ok else "FAIL ") + title + ("" if ok else f": {detail}"))
        failed += not ok
    print(f"{len(checks) - failed} passed, {failed} failed")
    return 1 if failed else 0


def main():
    library, map_path = sys.argv[1], sys.argv[2]
    wanted = INTERFACE
    mapped = exported_names(map_path)
    symbols = dynamic_symbols(library)
    dynamic = readelf("-d", path=library)
    sections = readelf("-S", path=library)
    all_symbols = readelf("-s", path=library)
    defined = {s["name"]: s for s in symbols
               if s["ndx"] != "UND" and s["bind"] in ("GLOBAL", "WEAK") and s["name"]}
    imported = {s["name"] for s in symbols if s["ndx"] == "UND"}
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
    data = defined.get("_data", {})
    data_section = next((line for line in sections.splitlines()
                         if re.search(r"\]\s+\.data\s", line)), "")
    data_index = re.search(r"\[\s*(\d+)\]", data_section)

    checks = [
        ("the export map lists the 17 names and no other", mapped == wanted,
         sorted(mapped ^ wanted)),
        ("the 17 names are exported", len(wanted) == 17 and wanted <= defined.keys(),
         sorted(wanted - defined.keys())),
        ("nothing else of the library's own is exported", defined.keys() <= wanted,
         sorted(defined.keys() - wanted)),
        ("every export has default visibility",
         all(defined[n]["visibility"] == "DEFAULT" for n in wanted & defined.keys()), ""),
        ("no export carries a symbol version",
         all(not defined[n]["version"] for n in wanted & defined.keys())
         and ".gnu.version_d" not in sections, ""),
        ("no SONAME", "(SONAME)" not in dynamic, ""),
        ("no RPATH or RUNPATH", "(RPATH)" not in dynamic and "(RUNPATH)" not in dynamic, ""),
        ("NEEDED is the C library and the C++ runtime, no libm",
         all(re.match(r"lib(c|stdc\+\+|gcc_s)\.so", n) or n.startswith("ld-") for n in needed)
         and any(n.startswith("libc.so") for n in needed), needed),
        ("_data is a 13-byte object aligned to 4",
         data.get("type") == "OBJECT" and data.get("size") == 13 and data.get("value", 1) % 4 == 0,
         data),
        ("_data lies in the writable .data section",
         data_index is not None and data.get("ndx") == data_index.group(1)
         and re.search(r"\sWA", data_section) is not None, data_section.strip()),
        ("no static constructors or exit handlers of ours",
         "_GLOBAL__sub_I" not in all_symbols and not imported & {"__cxa_atexit", "atexit"},
         sorted(imported & {"__cxa_atexit", "atexit"})),
    ]
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
