#!/usr/bin/python3
"""ffiref through cffi in ABI mode (ffi.dlopen by path, no compiler): the
binding (C declarations), then a thin runner over tests/clients/cases.json.

usage: /usr/bin/python3 cffi_client.py [path/to/libffiref.so]   (else $FFIREF_LIBRARY, else build/ci)
"""
import sys

import cffi

import harness

# ---------------------------------------------------------------- binding

ffi = cffi.FFI()
# The packed records. packed=True gives them alignment 1 and no gaps, and
# packs the bit-fields into the library's 3 bytes.
ffi.cdef("""
typedef struct SampleStructure {
    int8_t firstByte;
    int16_t halfword;
    int32_t firstWord;
    int32_t secondWord;
    int8_t secondByte;
    int32_t thirdWord;
    float singleFloat;
    double firstDoubleword;
    double secondDoubleword;
} SampleStructure;

typedef union UnionContent {
    int32_t intValue;
    float floatValue;
    uint8_t bytes[4];
} UnionContent;

typedef struct UnionStructure {
    uint8_t tag;
    UnionContent content;
} UnionStructure;

typedef struct BitStructure {
    unsigned int oneBit : 1;
    unsigned int twoBitsA : 2;
    unsigned int threeBits : 3;
    unsigned int twoBitsB : 2;
    unsigned int tenBits : 10;
} BitStructure;
""", packed=True)
# Everything else in its natural layout.
ffi.cdef("""
typedef struct KeyValueStructure {
    int32_t *key;
    const char *value;
} KeyValueStructure;

typedef struct LinkedStructure {
    int32_t value;
    struct LinkedStructure *next;
} LinkedStructure;

typedef int32_t (*CalculateSumCallback)(int32_t operand);
typedef void (*CreateArrayCallback)(int32_t first, int32_t second, int32_t third, int32_t **arraySlot);
typedef void (*FillArrayCallback)(int32_t start, int32_t count, int32_t *array);

extern char _data[13];

int32_t sumStdCall(int32_t a, int32_t b);
int32_t printStringCdeclCall(const char *text);
void copySampleStructure(const SampleStructure *source, SampleStructure *destination);
void copyUnionStructure(const UnionStructure *source, UnionStructure *destination);
int32_t calculateSunFromBitStructure(const BitStructure *record);
void fillKeyValueStructure(KeyValueStructure *record);
const char *findValueByKey(const KeyValueStructure *records, int32_t count, int32_t key);
void fillLinkedStructures(LinkedStructure *head);
double findMinimum(const double *array, int32_t count);
void removeDuplicates(double *array, int32_t *count);
int32_t calculateSum(CalculateSumCallback callback, int32_t operand);
int32_t *createArray(int32_t first, int32_t second, int32_t third, CreateArrayCallback callback);
int32_t fillArray(int32_t start, int32_t count, FillArrayCallback callback);
void removeDuplicatesFromString(const char *input, char **output);
const wchar_t *findLongest(const wchar_t *list);
void convert(const wchar_t *list, char *output);

/* Memory the library hands out comes from C++ operator new / new[]; the C++
   runtime that the library needs supplies the matching operators, found
   through the library's own handle by their mangled names. */
void _ZdlPv(void *pointer); /* operator delete(void *) */
void _ZdaPv(void *pointer); /* operator delete[](void *) */

int fflush(void *stream);
""")


def load(path):
    return ffi.dlopen(path)


def wide_list(strings):
    """A wide string list: each string and its zero, then the closing empty string."""
    return ffi.new("wchar_t[]", list("".join(text + "\0" for text in strings) + "\0"))


# ---------------------------------------------------------------- runner

libc = ffi.dlopen(None)


def c_flush():
    libc.fflush(ffi.NULL)


def address(pointer):
    return int(ffi.cast("uintptr_t", pointer))


def image(cdata):
    return bytes(ffi.buffer(cdata))


def raw_record(raw):
    """A BitStructure initialiser holding the given 3 bytes."""
    record = ffi.new("BitStructure *")
    ffi.buffer(record)[:] = raw
    return record[0]


def bit_record(values):
    record = ffi.new("BitStructure *")
    for name, value in values.items():
        setattr(record, name, value)
    return record


def main():
    tally = harness.Tally("cffi")
    cases = harness.load_cases()
    path = harness.library_path()
    lib = load(path)

    def exports():
        for name in cases["exports"]:
            try:
                getattr(lib, name)
                tally.check(f"export {name}", True)
            except AttributeError as error:
                tally.check(f"export {name}", False, str(error))

    def fields(name):
        return {field: (ffi.offsetof(name, field), ffi.sizeof(kind.type))
                for field, kind in ffi.typeof(name).fields}

    def layout():
        declared = cases["layout"]
        for name in ("SampleStructure", "UnionStructure"):
            tally.equal(f"{name} size", ffi.sizeof(name), declared[name]["size"])
            tally.equal(f"{name} offsets", [[f, *place] for f, place in fields(name).items()],
                        declared[name]["fields"])
        tally.equal("BitStructure size", ffi.sizeof("BitStructure"), declared["BitStructure"]["size"])
        tally.equal("BitStructure array stride", ffi.sizeof("BitStructure[2]"), 2 * declared["BitStructure"]["size"])
        pointer = ffi.sizeof("void *")
        tally.equal("pointer records: sizes and second offsets",
                    [ffi.sizeof("KeyValueStructure"), ffi.offsetof("KeyValueStructure", "value"),
                     ffi.sizeof("LinkedStructure"), ffi.offsetof("LinkedStructure", "next")], [2 * pointer, pointer] * 2)

        def writer(record):
            def write(values):
                instance = ffi.new(record + " *")
                for path, value in values.items():
                    harness.assign(instance, path, value)
                return image(instance)
            return write

        records = {name: {"size": ffi.sizeof(name), "alignment": ffi.alignof(name), "fields": fields(name)}
                   for name in ("SampleStructure", "UnionStructure", "KeyValueStructure", "LinkedStructure")}
        harness.check_layout(tally, harness.layout_path(path), {
            "byte_order": sys.byteorder, "pointer_size": ffi.sizeof("void *"),
            "wchar_size": ffi.sizeof("wchar_t"), "records": records, "bit_size": ffi.sizeof("BitStructure"),
            "bit_image": lambda values: image(bit_record(values)),
            "bit_sum": lambda raw: lib.calculateSunFromBitStructure(ffi.new("BitStructure *", raw_record(raw))),
            "writers": {"SampleStructure": writer("SampleStructure"), "UnionStructure": writer("UnionStructure")}})

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
        initial = expected["initial"].encode() + b"\0"
        tally.equal("_data initial", ffi.unpack(lib._data, 13), initial)
        tally.equal("_data alignment", address(lib._data) % expected["alignment"], 0)
        written = expected["write"].encode() + b"\0"
        lib._data[0:len(written)] = [bytes([c]) for c in written]
        tally.equal("_data after a write", ffi.string(lib._data), expected["write"].encode())
        lib._data[0:13] = [bytes([c]) for c in initial]
        tally.equal("_data restored", ffi.unpack(lib._data, 13), initial)

    def packed_records():
        sample = cases["copySampleStructure"]
        source = ffi.new("SampleStructure *")
        for name, value in sample["fields"].items():
            floating = name in ("singleFloat", "firstDoubleword", "secondDoubleword")
            setattr(source, name, harness.double(value) if floating else value)
        tally.equal("SampleStructure image", image(source), harness.byte_image(sample))
        destination = ffi.new("SampleStructure *")
        lib.copySampleStructure(source, destination)
        tally.equal("copySampleStructure fields", image(destination), image(source))
        tally.check("copySampleStructure -0.0 keeps its sign", str(destination.firstDoubleword) == "-0.0")
        for raw in sample["images"]:
            # Odd addresses on both sides, guard bytes around the destination.
            memory = ffi.new("unsigned char[80]", [0x5A] * 80)
            ffi.memmove(memory + 1, harness.hex_bytes(raw), 36)
            lib.copySampleStructure(ffi.cast("SampleStructure *", memory + 1),
                                    ffi.cast("SampleStructure *", memory + 41))
            tally.equal(f"copySampleStructure image {raw[:11]}", bytes(ffi.buffer(memory + 40, 38)),
                        b"\x5a" + harness.hex_bytes(raw) + b"\x5a")
            same = ffi.cast("SampleStructure *", memory + 41)
            lib.copySampleStructure(same, same)
            tally.equal("copySampleStructure onto itself", bytes(ffi.buffer(memory + 41, 36)), harness.hex_bytes(raw))

        for case in cases["copyUnionStructure"]:
            source = ffi.new("UnionStructure *", {"tag": case["tag"]})
            value = case["value"]
            if case["member"] == "floatValue":
                value = harness.double(value)
            setattr(source.content, case["member"], value)
            tally.equal(f"UnionStructure image via {case['member']}", image(source), harness.byte_image(case))
            destination = ffi.new("UnionStructure *")
            lib.copyUnionStructure(source, destination)
            tally.equal(f"copyUnionStructure via {case['member']}", image(destination), image(source))
            if case["member"] == "intValue":
                tally.equal("copyUnionStructure intValue", destination.content.intValue, value)

        bits = cases["calculateSunFromBitStructure"]
        for case in bits["records"]:
            record = bit_record(dict(zip(bits["fields"], case["values"])))
            tally.equal(f"BitStructure {case['values']} image", image(record), harness.byte_image(case))
            tally.equal(f"calculateSunFromBitStructure {case['values']}",
                        lib.calculateSunFromBitStructure(record), case["sum"])
            tally.equal(f"BitStructure {case['values']} read back",
                        [getattr(record, name) for name in bits["fields"]], case["values"])
        for case in bits["unused_bits"]:
            memory = ffi.new("unsigned char[4]", list(harness.byte_image(case) + b"\xff"))
            tally.equal(f"calculateSunFromBitStructure raw {harness.byte_image(case).hex()}",
                        lib.calculateSunFromBitStructure(ffi.cast("BitStructure *", memory)), case["sum"])

    def pointer_records():
        expected = cases["fillKeyValueStructure"]
        key = ffi.new("int32_t *", 0)
        record = ffi.new("KeyValueStructure *", {"key": key})
        lib.fillKeyValueStructure(record)
        tally.equal("fillKeyValueStructure key", key[0], expected["key"])
        tally.check("fillKeyValueStructure key pointer kept", record.key == key)
        tally.equal("fillKeyValueStructure text", ffi.string(record.value), expected["text"].encode())
        text = record.value
        lib.fillKeyValueStructure(record)
        tally.check("fillKeyValueStructure same text address", record.value == text)

        lookup = cases["findValueByKey"]
        keys = [ffi.new("int32_t *", k) for k in lookup["keys"]]
        texts = [ffi.new("char[]", f"value {i}".encode()) for i in range(len(keys))]
        records = ffi.new("KeyValueStructure[]", [{"key": k, "value": t} for k, t in zip(keys, texts)])
        for case in lookup["cases"]:
            found = lib.findValueByKey(records, case["count"], case["key"])
            wanted = ffi.NULL if case["expect"] is None else texts[case["expect"]]
            tally.check(f"findValueByKey count {case['count']} key {case['key']}",
                        address(found) == address(wanted), f"got {found}")

        head = ffi.new("LinkedStructure *", {"value": -1})
        lib.fillLinkedStructures(head)
        values, nodes, node = [head.value], [], head
        while node.next != ffi.NULL:
            node = node.next
            nodes.append(node)
            values.append(node.value)
        tally.equal("fillLinkedStructures values", values, cases["fillLinkedStructures"]["values"])
        for node in nodes:
            lib._ZdlPv(node)
        tally.check("fillLinkedStructures nodes released with operator delete", len(nodes) == 9)

    def double_arrays():
        for case in cases["findMinimum"]:
            array = ffi.new("double[]", [harness.double(v) for v in case["array"]])
            found = lib.findMinimum(array, case["count"])
            tally.check(f"findMinimum {case['array']} count {case['count']}",
                        harness.same_double(found, harness.double(case["expect"])), repr(found))
        for case in cases["removeDuplicates"]:
            array = ffi.new("double[]", [harness.double(v) for v in case["array"]])
            before = image(array)
            count = ffi.new("int32_t *", case["count"])
            lib.removeDuplicates(array, count)
            name = f"removeDuplicates {case['array']} count {case['count']}"
            if case["expect"] is None:
                tally.check(name, count[0] == case["count"] and image(array) == before)
                continue
            expected = [harness.double(v) for v in case["expect"]]
            tally.equal(name + " count", count[0], len(expected))
            tally.check(name + " elements", all(harness.same_double(array[i], e) for i, e in enumerate(expected)),
                        repr(list(array)))
            tally.equal(name + " beyond the count", image(array)[8 * case["count"]:], before[8 * case["count"]:])

    def callbacks():
        # A Python exception cannot cross the library: cffi reports it and the
        # callback returns 0. The callbacks here record what they saw instead.
        for case in cases["calculateSum"]:
            seen = []

            @ffi.callback("CalculateSumCallback")
            def add(operand):
                seen.append(operand)
                return (operand + case["add"] + 2**31) % 2**32 - 2**31

            tally.equal(f"calculateSum {case['operand']} + {case['add']}",
                        lib.calculateSum(add, case["operand"]), case["expect"])
            tally.equal(f"calculateSum {case['operand']} callback arguments", seen, [case["operand"]])

        for case in cases["createArray"]:
            seen = []
            array = ffi.new("int32_t[3]", case["args"])

            @ffi.callback("CreateArrayCallback")
            def create(first, second, third, slot):
                seen.append((first, second, third, slot[0] == ffi.NULL))
                if case["store"]:
                    slot[0] = array

            result = lib.createArray(*case["args"], create)
            tally.equal(f"createArray {case['args']} callback saw", seen, [(*case["args"], True)])
            tally.equal(f"createArray {case['args']} result", address(result),
                        address(array) if case["store"] else 0)
            tally.equal(f"createArray {case['args']} array untouched", list(array), case["args"])

        for case in cases["fillArray"]:
            seen = []

            @ffi.callback("FillArrayCallback")
            def fill(start, count, array):
                seen.append((start, count))
                for index, value in enumerate(case["store"]):
                    array[index] = value

            result, written = harness.capture_stdout(
                c_flush, lambda: lib.fillArray(case["start"], case["count"], fill))
            name = f"fillArray start {case['start']} store {case['store']}"
            tally.equal(name + " result", result, case["expect"])
            tally.equal(name + " callback saw", seen, [(case["start"], case["count"])])
            tally.equal(name + " stdout", written.decode(), case["stdout"])

    def strings():
        for case in cases["removeDuplicatesFromString"]:
            text = harness.narrow(case, "input")
            source = ffi.new("char[]", text)
            output = ffi.new("char **", ffi.cast("char *", 1))  # ignored by the library
            lib.removeDuplicatesFromString(source, output)
            tally.equal(f"removeDuplicatesFromString {text!r}", ffi.string(output[0]),
                        harness.narrow(case, "expect"))
            tally.equal(f"removeDuplicatesFromString {text!r} input unchanged", image(source), text + b"\0")
            lib._ZdaPv(output[0])  # new char[] in the library, delete[] here

        buffer = None
        for case in cases["findLongest"]:
            found = lib.findLongest(wide_list(case["list"]))
            tally.equal(f"findLongest {[s[:8] for s in case['list']]}", ffi.string(found), case["expect"])
            tally.check("findLongest returns its one buffer", buffer in (None, address(found)))
            buffer = address(found)

        for case in cases["convert"]:
            expected = b"".join(text.encode() + b"\0" for text in case["expect"])
            output = ffi.new("char[]", b"\xaa" * (len(expected) + 4))
            lib.convert(wide_list(case["list"]), output)
            tally.equal(f"convert {case['list']}", ffi.unpack(output, len(expected) + 1), expected + b"\xaa")

    for name, group in (("exports", exports), ("layout", layout), ("plain calls", plain_calls),
                        ("_data", global_data), ("packed records", packed_records),
                        ("pointer records", pointer_records), ("double arrays", double_arrays),
                        ("callbacks", callbacks), ("strings", strings)):
        tally.run(name, group)
    tally.finish()


if __name__ == "__main__":
    main()
