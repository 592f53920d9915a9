#!/usr/bin/env python3
"""ffiref through Python's ctypes: the binding (types and prototypes), then a
thin runner over tests/clients/cases.json.

usage: ctypes_client.py [path/to/libffiref.so]   (else $FFIREF_LIBRARY, else build/ci)
"""
import ctypes
import sys
from ctypes import (CFUNCTYPE, POINTER, Structure, Union, c_char, c_char_p, c_double, c_float,
                    c_int8, c_int16, c_int32, c_uint8, c_uint16, c_void_p, c_wchar)

import harness

# ---------------------------------------------------------------- binding


class SampleStructure(Structure):
    _pack_ = 1
    _fields_ = [("firstByte", c_int8), ("halfword", c_int16), ("firstWord", c_int32),
                ("secondWord", c_int32), ("secondByte", c_int8), ("thirdWord", c_int32),
                ("singleFloat", c_float), ("firstDoubleword", c_double),
                ("secondDoubleword", c_double)]


class UnionContent(Union):
    _fields_ = [("intValue", c_int32), ("floatValue", c_float), ("bytes", c_uint8 * 4)]


class UnionStructure(Structure):
    _pack_ = 1
    _fields_ = [("tag", c_uint8), ("content", UnionContent)]


class BitStructure(Structure):
    # Declared on c_uint the record would be 4 bytes long even with _pack_ = 1;
    # on the narrowest types that hold each field it is the library's 3 bytes,
    # with the same (native) bit positions.
    _pack_ = 1
    _fields_ = [("oneBit", c_uint8, 1), ("twoBitsA", c_uint8, 2), ("threeBits", c_uint8, 3),
                ("twoBitsB", c_uint8, 2), ("tenBits", c_uint16, 10)]


class KeyValueStructure(Structure):
    _fields_ = [("key", POINTER(c_int32)), ("value", c_char_p)]


class LinkedStructure(Structure):
    pass


LinkedStructure._fields_ = [("value", c_int32), ("next", POINTER(LinkedStructure))]

CalculateSumCallback = CFUNCTYPE(c_int32, c_int32)
CreateArrayCallback = CFUNCTYPE(None, c_int32, c_int32, c_int32, POINTER(POINTER(c_int32)))
FillArrayCallback = CFUNCTYPE(None, c_int32, c_int32, POINTER(c_int32))

PROTOTYPES = {
    "sumStdCall": (c_int32, [c_int32, c_int32]),
    "printStringCdeclCall": (c_int32, [c_char_p]),
    "copySampleStructure": (None, [POINTER(SampleStructure), POINTER(SampleStructure)]),
    "copyUnionStructure": (None, [POINTER(UnionStructure), POINTER(UnionStructure)]),
    "calculateSunFromBitStructure": (c_int32, [POINTER(BitStructure)]),
    "fillKeyValueStructure": (None, [POINTER(KeyValueStructure)]),
    # c_void_p, not c_char_p: the caller gets the very pointer held in the record.
    "findValueByKey": (c_void_p, [POINTER(KeyValueStructure), c_int32, c_int32]),
    "fillLinkedStructures": (None, [POINTER(LinkedStructure)]),
    "findMinimum": (c_double, [POINTER(c_double), c_int32]),
    "removeDuplicates": (None, [POINTER(c_double), POINTER(c_int32)]),
    "calculateSum": (c_int32, [CalculateSumCallback, c_int32]),
    "createArray": (POINTER(c_int32), [c_int32, c_int32, c_int32, CreateArrayCallback]),
    "fillArray": (c_int32, [c_int32, c_int32, FillArrayCallback]),
    "removeDuplicatesFromString": (None, [c_char_p, POINTER(POINTER(c_char))]),
    # The static result buffer: an address, read with ctypes.wstring_at.
    "findLongest": (c_void_p, [POINTER(c_wchar)]),
    "convert": (None, [POINTER(c_wchar), POINTER(c_char)]),
    # Memory the library hands out comes from C++ operator new / new[]; the
    # C++ runtime that the library needs supplies the matching operators,
    # found through the library's own handle by their mangled names.
    "_ZdlPv": (None, [c_void_p]),  # operator delete(void *)
    "_ZdaPv": (None, [c_void_p]),  # operator delete[](void *)
}


def load(path):
    library = ctypes.CDLL(path)
    for name, (result, arguments) in PROTOTYPES.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
    return library


def data(library):
    """The exported char _data[13], in place."""
    return (c_char * 13).in_dll(library, "_data")


def wide_list(strings):
    """A wide string list: each string and its zero, then the closing empty string."""
    characters = "".join(text + "\0" for text in strings) + "\0"
    return (c_wchar * len(characters))(*characters)


# ---------------------------------------------------------------- runner

libc = ctypes.CDLL(None)
libc.fflush.argtypes = [c_void_p]


def c_flush():
    libc.fflush(None)


def bit_record(values):
    record = BitStructure()
    for name, value in values.items():
        setattr(record, name, value)
    return record


def address(pointer):
    return ctypes.cast(pointer, c_void_p).value


def main():
    tally = harness.Tally("ctypes")
    cases = harness.load_cases()
    path = harness.library_path()
    lib = load(path)

    def exports():
        for name in cases["exports"]:
            found = ctypes.c_void_p.in_dll(lib, name) is not None if name == "_data" else hasattr(lib, name)
            tally.check(f"export {name}", found)

    def layout():
        declared = cases["layout"]
        for name, record in (("SampleStructure", SampleStructure), ("UnionStructure", UnionStructure)):
            tally.equal(f"{name} size", ctypes.sizeof(record), declared[name]["size"])
            tally.equal(f"{name} offsets", [[n, getattr(record, n).offset, getattr(record, n).size]
                                            for n, *_ in record._fields_], declared[name]["fields"])
        tally.equal("BitStructure size", ctypes.sizeof(BitStructure), declared["BitStructure"]["size"])
        tally.equal("BitStructure array stride",
                    ctypes.sizeof(BitStructure * 2), 2 * declared["BitStructure"]["size"])
        pointer = ctypes.sizeof(c_void_p)
        tally.equal("pointer records: sizes and second offsets",
                    [ctypes.sizeof(KeyValueStructure), KeyValueStructure.value.offset,
                     ctypes.sizeof(LinkedStructure), LinkedStructure.next.offset], [2 * pointer, pointer] * 2)

        def fields(record):
            return {n: (getattr(record, n).offset, getattr(record, n).size) for n, *_ in record._fields_}

        def writer(record):
            def write(values):
                instance = record()
                for path, value in values.items():
                    harness.assign(instance, path, value)
                return bytes(instance)
            return write

        records = {name: {"size": ctypes.sizeof(r), "alignment": ctypes.alignment(r), "fields": fields(r)}
                   for name, r in (("SampleStructure", SampleStructure), ("UnionStructure", UnionStructure),
                                   ("KeyValueStructure", KeyValueStructure),
                                   ("LinkedStructure", LinkedStructure))}
        harness.check_layout(tally, harness.layout_path(path), {
            "byte_order": sys.byteorder, "pointer_size": ctypes.sizeof(c_void_p),
            "wchar_size": ctypes.sizeof(c_wchar), "records": records,
            "bit_size": ctypes.sizeof(BitStructure),
            "bit_image": lambda values: bytes(bit_record(values)),
            "bit_sum": lambda image: lib.calculateSunFromBitStructure(BitStructure.from_buffer_copy(image)),
            "writers": {"SampleStructure": writer(SampleStructure), "UnionStructure": writer(UnionStructure)}})

    def plain_calls():
        for a, b, expected in cases["sumStdCall"]:
            tally.equal(f"sumStdCall({a}, {b})", lib.sumStdCall(a, b), expected)
        for case in cases["printStringCdeclCall"]:
            text = harness.narrow(case, "text")
            result, written = harness.capture_stdout(c_flush, lambda: lib.printStringCdeclCall(text))
            tally.check(f"printStringCdeclCall({text!r}) result", result >= 0, str(result))
            tally.equal(f"printStringCdeclCall({text!r}) output", written, harness.narrow(case, "stdout"))

    def global_data():
        expected = cases["_data"]
        variable = data(lib)
        tally.equal("_data initial", variable.raw, expected["initial"].encode() + b"\0")
        tally.equal("_data alignment", ctypes.addressof(variable) % expected["alignment"], 0)
        variable.value = expected["write"].encode()
        tally.equal("_data after a write", data(lib).value, expected["write"].encode())
        variable.value = expected["initial"].encode()
        tally.equal("_data restored", data(lib).raw, expected["initial"].encode() + b"\0")

    def packed_records():
        sample = cases["copySampleStructure"]
        source = SampleStructure()
        for name, value in sample["fields"].items():
            setattr(source, name, harness.double(value) if name in ("singleFloat", "firstDoubleword",
                                                                     "secondDoubleword") else value)
        tally.equal("SampleStructure image", bytes(source), harness.byte_image(sample))
        destination = SampleStructure()
        lib.copySampleStructure(source, destination)
        tally.equal("copySampleStructure fields", bytes(destination), bytes(source))
        tally.check("copySampleStructure -0.0 keeps its sign",
                    str(destination.firstDoubleword) == "-0.0", destination.firstDoubleword)
        for image in sample["images"]:
            # Odd addresses on both sides, guard bytes around the destination.
            memory = ctypes.create_string_buffer(b"\x5a" * 80)
            ctypes.memmove(ctypes.addressof(memory) + 1, harness.hex_bytes(image), 36)
            lib.copySampleStructure(SampleStructure.from_buffer(memory, 1),
                                    SampleStructure.from_buffer(memory, 41))
            tally.equal(f"copySampleStructure image {image[:11]}", memory.raw[40:78],
                        b"\x5a" + harness.hex_bytes(image) + b"\x5a")
            lib.copySampleStructure(SampleStructure.from_buffer(memory, 41),
                                    SampleStructure.from_buffer(memory, 41))
            tally.equal("copySampleStructure onto itself", memory.raw[41:77], harness.hex_bytes(image))

        for case in cases["copyUnionStructure"]:
            source = UnionStructure(tag=case["tag"])
            value = case["value"]
            if case["member"] == "bytes":
                source.content.bytes = (c_uint8 * 4)(*value)
            else:
                setattr(source.content, case["member"],
                        harness.double(value) if case["member"] == "floatValue" else value)
            tally.equal(f"UnionStructure image via {case['member']}", bytes(source), harness.byte_image(case))
            destination = UnionStructure()
            lib.copyUnionStructure(source, destination)
            tally.equal(f"copyUnionStructure via {case['member']}", bytes(destination), bytes(source))
            if case["member"] == "intValue":
                tally.equal("copyUnionStructure intValue", destination.content.intValue, value)

        bits = cases["calculateSunFromBitStructure"]
        for case in bits["records"]:
            record = bit_record(dict(zip(bits["fields"], case["values"])))
            tally.equal(f"BitStructure {case['values']} image", bytes(record), harness.byte_image(case))
            tally.equal(f"calculateSunFromBitStructure {case['values']}",
                        lib.calculateSunFromBitStructure(record), case["sum"])
            read_back = [getattr(record, name) for name in bits["fields"]]
            tally.equal(f"BitStructure {case['values']} read back", read_back, case["values"])
        for case in bits["unused_bits"]:
            # The record as the last 3 bytes before a 0xFF byte.
            memory = ctypes.create_string_buffer(harness.byte_image(case) + b"\xff", 4)
            tally.equal(f"calculateSunFromBitStructure raw {harness.byte_image(case).hex()}",
                        lib.calculateSunFromBitStructure(BitStructure.from_buffer(memory)), case["sum"])

    def pointer_records():
        expected = cases["fillKeyValueStructure"]
        key = c_int32(0)
        record = KeyValueStructure(ctypes.pointer(key), None)
        lib.fillKeyValueStructure(record)
        tally.equal("fillKeyValueStructure key", key.value, expected["key"])
        tally.equal("fillKeyValueStructure key pointer kept", address(record.key), ctypes.addressof(key))
        tally.equal("fillKeyValueStructure text", record.value, expected["text"].encode())
        text_address = c_void_p.from_buffer(record, KeyValueStructure.value.offset).value
        lib.fillKeyValueStructure(record)
        tally.equal("fillKeyValueStructure same text address",
                    c_void_p.from_buffer(record, KeyValueStructure.value.offset).value, text_address)

        lookup = cases["findValueByKey"]
        keys = [c_int32(k) for k in lookup["keys"]]
        texts = [ctypes.create_string_buffer(f"value {i}".encode()) for i in range(len(keys))]
        records = (KeyValueStructure * len(keys))(
            *[KeyValueStructure(ctypes.pointer(k), ctypes.cast(t, c_char_p)) for k, t in zip(keys, texts)])
        for case in lookup["cases"]:
            found = lib.findValueByKey(records, case["count"], case["key"])
            wanted = None if case["expect"] is None else ctypes.addressof(texts[case["expect"]])
            tally.equal(f"findValueByKey count {case['count']} key {case['key']}", found, wanted)

        head = LinkedStructure(-1, None)
        lib.fillLinkedStructures(head)
        values, nodes, node = [], [], head
        while True:
            values.append(node.value)
            if not node.next:
                break
            nodes.append(address(node.next))
            node = node.next.contents
        tally.equal("fillLinkedStructures values", values, cases["fillLinkedStructures"]["values"])
        for node_address in nodes:
            lib._ZdlPv(node_address)
        tally.check("fillLinkedStructures nodes released with operator delete", len(nodes) == 9)

    def double_arrays():
        for case in cases["findMinimum"]:
            array = (c_double * len(case["array"]))(*map(harness.double, case["array"]))
            found = lib.findMinimum(array, case["count"])
            tally.check(f"findMinimum {case['array']} count {case['count']}",
                        harness.same_double(found, harness.double(case["expect"])), repr(found))
        for case in cases["removeDuplicates"]:
            values = list(map(harness.double, case["array"]))
            array = (c_double * len(values))(*values)
            before = bytes(array)
            count = c_int32(case["count"])
            lib.removeDuplicates(array, ctypes.byref(count))
            name = f"removeDuplicates {case['array']} count {case['count']}"
            if case["expect"] is None:
                tally.check(name, count.value == case["count"] and bytes(array) == before)
                continue
            expected = list(map(harness.double, case["expect"]))
            tally.equal(name + " count", count.value, len(expected))
            tally.check(name + " elements", all(harness.same_double(a, e) for a, e in zip(array, expected)),
                        repr(list(array)))
            tally.equal(name + " beyond the count", bytes(array)[8 * case["count"]:],
                        before[8 * case["count"]:])

    def callbacks():
        for case in cases["calculateSum"]:
            seen = []

            def add(operand):
                seen.append(operand)
                return (operand + case["add"] + 2**31) % 2**32 - 2**31

            result = lib.calculateSum(CalculateSumCallback(add), case["operand"])
            tally.equal(f"calculateSum {case['operand']} + {case['add']}", result, case["expect"])
            tally.equal(f"calculateSum {case['operand']} callback arguments", seen, [case["operand"]])

        for case in cases["createArray"]:
            seen = []
            array = (c_int32 * 3)(*case["args"])

            def create(first, second, third, slot):
                seen.append((first, second, third, bool(slot[0])))
                if case["store"]:
                    slot[0] = ctypes.cast(array, POINTER(c_int32))

            result = lib.createArray(*case["args"], CreateArrayCallback(create))
            tally.equal(f"createArray {case['args']} callback saw", seen, [(*case["args"], False)])
            tally.equal(f"createArray {case['args']} result", address(result),
                        ctypes.addressof(array) if case["store"] else None)
            tally.equal(f"createArray {case['args']} array untouched", list(array), case["args"])

        for case in cases["fillArray"]:
            seen = []

            def fill(start, count, array):
                seen.append((start, count))
                for index, value in enumerate(case["store"]):
                    array[index] = value

            callback = FillArrayCallback(fill)
            result, written = harness.capture_stdout(
                c_flush, lambda: lib.fillArray(case["start"], case["count"], callback))
            name = f"fillArray start {case['start']} store {case['store']}"
            tally.equal(name + " result", result, case["expect"])
            tally.equal(name + " callback saw", seen, [(case["start"], case["count"])])
            tally.equal(name + " stdout", written.decode(), case["stdout"])

    def strings():
        for case in cases["removeDuplicatesFromString"]:
            text = harness.narrow(case, "input")
            source = ctypes.create_string_buffer(text)
            output = ctypes.cast(c_void_p(0x1), POINTER(c_char))  # ignored by the library
            lib.removeDuplicatesFromString(source, ctypes.byref(output))
            tally.equal(f"removeDuplicatesFromString {text!r}", ctypes.string_at(output),
                        harness.narrow(case, "expect"))
            tally.equal(f"removeDuplicatesFromString {text!r} input unchanged", source.raw, text + b"\0")
            lib._ZdaPv(output)  # new char[] in the library, delete[] here

        buffer = None
        for case in cases["findLongest"]:
            found = lib.findLongest(wide_list(case["list"]))
            tally.equal(f"findLongest {[s[:8] for s in case['list']]}", ctypes.wstring_at(found), case["expect"])
            tally.check("findLongest returns its one buffer", buffer in (None, found))
            buffer = found

        for case in cases["convert"]:
            expected = b"".join(text.encode() + b"\0" for text in case["expect"])
            output = ctypes.create_string_buffer(b"\xaa" * (len(expected) + 4), len(expected) + 4)
            lib.convert(wide_list(case["list"]), output)
            tally.equal(f"convert {case['list']}", output.raw[:len(expected) + 1], expected + b"\xaa")

    for name, group in (("exports", exports), ("layout", layout), ("plain calls", plain_calls),
                        ("_data", global_data), ("packed records", packed_records),
                        ("pointer records", pointer_records), ("double arrays", double_arrays),
                        ("callbacks", callbacks), ("strings", strings)):
        tally.run(name, group)
    tally.finish()


if __name__ == "__main__":
    main()
