#!/usr/bin/env python3
"""Checks the layout data written by layout_dump against the known layouts.

usage: check_layout.py LAYOUT.json ABI
Prints one line per check and 'N passed, N failed'; exits 1 on a failure.

The packed records have the same offsets everywhere; the pointer records
follow the pointer size; the bit-fields follow the byte order: big-endian
GCC targets fill a packed record's bits from the most significant bit of
byte 0 down, little-endian ones from the least significant bit up.
"""
import json
import struct
import sys

from check_shared_object import report

# byte order, pointer size, wchar_t size
ABIS = {
    "powerpc-linux-gnu": ("big", 4, 4),
    "s390x-linux-gnu": ("big", 8, 4),
    "aarch64-linux-gnu": ("little", 8, 4),
    "arm-linux-gnueabihf": ("little", 4, 4),
    "i686-linux-gnu": ("little", 4, 4),
    "x86_64-linux-gnu": ("little", 8, 4),
    "i686-w64-mingw32": ("little", 4, 2),
    "x86_64-w64-mingw32": ("little", 8, 2),
}

SAMPLE_FIELDS = [("firstByte", 0, 1), ("halfword", 1, 2), ("firstWord", 3, 4),
                 ("secondWord", 7, 4), ("secondByte", 11, 1), ("thirdWord", 12, 4),
                 ("singleFloat", 16, 4), ("firstDoubleword", 20, 8),
                 ("secondDoubleword", 28, 8)]
SAMPLE_FORMAT = "bhiibifdd"  # the same fields as struct codes, no padding
UNION_FIELDS = [("tag", 0, 1), ("content", 1, 4)]

# Field: width, then (byte, high bit, low bit) segments from the field's most
# significant bits to its least significant ones.
BIT_FIELDS = {
    "big": {
        "oneBit": (1, [(0, 7, 7)]),
        "twoBitsA": (2, [(0, 6, 5)]),
        "threeBits": (3, [(0, 4, 2)]),
        "twoBitsB": (2, [(0, 1, 0)]),
        "tenBits": (10, [(1, 7, 0), (2, 7, 6)]),
    },
    "little": {
        "oneBit": (1, [(0, 0, 0)]),
        "twoBitsA": (2, [(0, 2, 1)]),
        "threeBits": (3, [(0, 5, 3)]),
        "twoBitsB": (2, [(0, 7, 6)]),
        "tenBits": (10, [(2, 1, 0), (1, 7, 0)]),
    },
}
# Fields 1, 1, 1, 1, 783 as bytes.
BIT_EXAMPLE = {"big": "A5 C3 C0", "little": "4B 0F 03"}
BIT_MAXIMA = {"oneBit": 1, "twoBitsA": 3, "threeBits": 7, "twoBitsB": 3, "tenBits": 1023}


def hex_bytes(data):
    return " ".join(f"{b:02X}" for b in data)


def encode_bits(values, table):
    """The 3 bytes of a BitStructure holding values, per the table."""
    image = bytearray(3)
    for name, value in values.items():
        width, segments = table[name]
        remaining = width
        for byte, high, low in segments:
            count = high - low + 1
            remaining -= count
            image[byte] |= (value >> remaining & ((1 << count) - 1)) << low
    return hex_bytes(image)


def fields_of(record):
    return [(name, f.get("offset"), f.get("size")) for name, f in record["fields"].items()]


def main():
    layout = json.load(open(sys.argv[1]))
    abi = sys.argv[2]
    if abi not in ABIS:
        print(f"FAIL no known layout for {abi}")
        return 1
    order, pointer, wchar = ABIS[abi]
    prefix = ">" if order == "big" else "<"
    records = layout["records"]
    bits = BIT_FIELDS[order]
    samples = layout["samples"]

    def samples_of(record):
        return [s for s in samples if s["record"] == record]

    bit_samples = samples_of("BitStructure")
    example = [s for s in bit_samples if s["values"] == {"oneBit": 1, "twoBitsA": 1,
                                                          "threeBits": 1, "twoBitsB": 1,
                                                          "tenBits": 783}]
    pointer_records = {
        "KeyValueStructure": [("key", 0, pointer), ("value", pointer, pointer)],
        "LinkedStructure": [("value", 0, 4), ("next", pointer, pointer)],
    }
    wrong_bit_samples = [s for s in bit_samples
                         if s["bytes"] != encode_bits(s["values"], bits)
                         or s["sum"] != sum(s["values"].values())]
    union_images = [(s["bytes"], hex_bytes(
        struct.pack(prefix + ("Bf" if "content.floatValue" in s["values"] else "Bi"),
                    *s["values"].values()))) for s in samples_of("UnionStructure")]
    sample_images = [(s["bytes"], hex_bytes(struct.pack(prefix + SAMPLE_FORMAT,
                                                        *s["values"].values())))
                     for s in samples_of("SampleStructure")]

    checks = [
        ("abi is " + abi, layout["abi"] == abi, layout["abi"]),
        (f"{order}-endian", layout["byte_order"] == order, layout["byte_order"]),
        (f"pointers are {pointer} bytes", layout["pointer_size"] == pointer,
         layout["pointer_size"]),
        (f"wchar_t is {wchar} bytes", layout["wchar_size"] == wchar, layout["wchar_size"]),
        ("SampleStructure: 36 bytes, alignment 1, the nine fields at their offsets",
         (records["SampleStructure"]["size"], records["SampleStructure"]["alignment"],
          fields_of(records["SampleStructure"])) == (36, 1, SAMPLE_FIELDS),
         records["SampleStructure"]),
        ("UnionStructure: 5 bytes, alignment 1, tag at 0, content at 1",
         (records["UnionStructure"]["size"], records["UnionStructure"]["alignment"],
          fields_of(records["UnionStructure"])) == (5, 1, UNION_FIELDS),
         records["UnionStructure"]),
    ]
    for name, fields in pointer_records.items():
        checks.append((f"{name}: {2 * pointer} bytes, alignment {pointer}, fields at "
                       + ", ".join(str(offset) for _, offset, _ in fields),
                       (records[name]["size"], records[name]["alignment"],
                        fields_of(records[name])) == (2 * pointer, pointer, fields),
                       records[name]))
    actual_bits = {name: (f["width"], [(s["byte"], s["high_bit"], s["low_bit"])
                                       for s in f["segments"]])
                   for name, f in records["BitStructure"]["fields"].items()}
    checks += [
        ("BitStructure: 3 bytes, alignment 1",
         (records["BitStructure"]["size"], records["BitStructure"]["alignment"]) == (3, 1),
         records["BitStructure"]),
        (f"BitStructure: the {order}-endian bit positions, fields in declaration order",
         list(actual_bits.items()) == list(bits.items()), actual_bits),
        (f"BitStructure 1, 1, 1, 1, 783 is {BIT_EXAMPLE[order]}, sum 787",
         len(example) == 1 and example[0]["bytes"] == BIT_EXAMPLE[order]
         and example[0]["sum"] == 787, example),
        ("BitStructure with every field at its largest value sums to 1037",
         any(s["values"] == BIT_MAXIMA and s["sum"] == 1037 for s in bit_samples), ""),
        ("every BitStructure sample has the bytes and sum of its values",
         bit_samples and not wrong_bit_samples, wrong_bit_samples),
        (f"UnionStructure samples are tag then content in {order}-endian order",
         union_images and all(a == b for a, b in union_images), union_images),
        (f"SampleStructure samples are the fields in {order}-endian order",
         sample_images and all(a == b for a, b in sample_images), sample_images),
    ]
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
