"""What the two Python callers share: where things are, the cases, the tally,
double and byte decoding, capture of the process's standard output, and the
check of a binding's declared layout against the build's layout JSON."""
import json
import math
import os
import sys
import tempfile
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
LAYOUT_NAME = "ffiref-layout-x86_64-linux-gnu.json"


def library_path():
    """The library to load, by path: argument 1, $FFIREF_LIBRARY, or the ci build."""
    if len(sys.argv) > 1:
        return sys.argv[1]
    return os.environ.get("FFIREF_LIBRARY") or os.path.join(ROOT, "build", "ci", "libffiref.so")


def layout_path(library):
    return os.environ.get("FFIREF_LAYOUT") or os.path.join(
        os.path.dirname(os.path.abspath(library)), "layout", LAYOUT_NAME)


def load_cases():
    with open(os.path.join(HERE, "..", "cases.json"), encoding="utf-8") as f:
        return json.load(f)


def double(value):
    """A double of cases.json: a number or "nan", "inf", "-inf", "-0"."""
    specials = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf, "-0": -0.0}
    return specials[value] if isinstance(value, str) else float(value)


def same_double(actual, expected):
    """IEEE identity as the cases mean it: NaN matches NaN, and the zero's sign counts."""
    if math.isnan(expected):
        return math.isnan(actual)
    return actual == expected and math.copysign(1, actual) == math.copysign(1, expected)


FLOATING = ("singleFloat", "firstDoubleword", "secondDoubleword", "floatValue")


def assign(record, path, value):
    """Sets a field of a declared record; path may reach into a member ("content.intValue")."""
    *members, leaf = path.split(".")
    for member in members:
        record = getattr(record, member)
    setattr(record, leaf, double(value) if leaf in FLOATING else value)


def hex_bytes(text):
    return bytes.fromhex(text)


def narrow(case, key):
    """A narrow string of a case: key_hex as raw bytes, else key as ASCII."""
    if key + "_hex" in case:
        return bytes.fromhex(case[key + "_hex"])
    return case[key].encode("ascii")


def byte_image(case):
    return hex_bytes(case["little" if sys.byteorder == "little" else "big"])


def capture_stdout(c_flush, call):
    """Runs call() with file descriptor 1 on a temporary file; returns (result, bytes written).
    c_flush flushes the C library's stdout, where the library writes."""
    sys.stdout.flush()
    c_flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 1)
        try:
            result = call()
        finally:
            c_flush()
            os.dup2(saved, 1)
            os.close(saved)
        sink.seek(0)
        return result, sink.read()


class Tally:
    """Counts checks; prints failures and skips as they happen and the summary line at the end."""

    def __init__(self, caller):
        self.caller = caller
        self.passed = self.failed = self.skipped = 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print(f"FAIL {self.caller}: {name}" + (f": {detail}" if detail else ""), flush=True)
        return ok

    def equal(self, name, actual, expected):
        return self.check(name, actual == expected, f"got {actual!r}, expected {expected!r}")

    def skip(self, name, reason):
        self.skipped += 1
        print(f"SKIP {self.caller}: {name}: {reason}", flush=True)

    def run(self, name, function):
        """One group of checks; an exception fails the group instead of ending the run."""
        try:
            function()
        except Exception:  # the runner reports every group, whatever happens in one
            self.check(name, False, traceback.format_exc())

    def finish(self):
        line = f"{self.passed} passed, {self.failed} failed"
        if self.skipped:
            line += f", {self.skipped} skipped"
        print(line, flush=True)
        sys.exit(1 if self.failed else 0)


def segments_image(fields, values, size):
    """The bytes a bit-field record holds for values, from the layout JSON's segments:
    each field's bits go most significant first into its segments, high bit to low bit."""
    image = bytearray(size)
    for name, value in values.items():
        field = fields[name]
        remaining = field["width"]
        for segment in field["segments"]:
            for bit in range(segment["high_bit"], segment["low_bit"] - 1, -1):
                remaining -= 1
                if (value >> remaining) & 1:
                    image[segment["byte"]] |= 1 << bit
    return bytes(image)


def check_layout(tally, path, declared):
    """Compares a binding's declarations with the layout JSON of the host build.
    declared: byte_order, pointer_size, wchar_size, records {name: {size, alignment
    (None when the FFI does not say), fields {name: (offset, size)}}}, bit_image(values)
    -> bytes written through the declared bit-fields, bit_sum(bytes) -> the library's sum,
    writers {record: function(values) -> bytes} for the other records."""
    if not os.path.exists(path):
        tally.check("layout JSON exists", False, f"{path} is missing: build the library first")
        return
    with open(path, encoding="utf-8") as f:
        layout = json.load(f)
    for key in ("byte_order", "pointer_size", "wchar_size"):
        tally.equal(f"layout {key}", declared[key], layout[key])
    for name, record in declared["records"].items():
        expected = layout["records"][name]
        tally.equal(f"layout {name} size", record["size"], expected["size"])
        if record["alignment"] is None:
            tally.skip(f"layout {name} alignment", "this FFI does not report a record's alignment")
        else:
            tally.equal(f"layout {name} alignment", record["alignment"], expected["alignment"])
        fields = {field: (value["offset"], value["size"]) for field, value in expected["fields"].items()}
        tally.equal(f"layout {name} fields", record["fields"], fields)
    bits = layout["records"]["BitStructure"]
    tally.equal("layout BitStructure size", declared["bit_size"], bits["size"])
    for field, bit_field in bits["fields"].items():
        largest = (1 << bit_field["width"]) - 1
        for value in (largest, 0b1011010011 & largest | 1):
            values = {field: value}
            tally.equal(f"layout BitStructure {field}={value} image", declared["bit_image"](values),
                        segments_image(bits["fields"], values, bits["size"]))
    for sample in layout.get("samples", []):
        name = f"layout sample {sample['record']} {sample.get('values')}"
        if sample["record"] != "BitStructure":
            writer = declared["writers"].get(sample["record"])
            try:
                image = writer(sample["values"])
            except (AttributeError, KeyError, TypeError, ValueError) as error:
                tally.skip(name, f"the sample's values do not map onto the declared fields ({error!r})")
                continue
            tally.equal(name, image, hex_bytes(sample["bytes"]))
            continue
        image = declared["bit_image"](sample["values"])
        tally.equal(name, image, hex_bytes(sample["bytes"]))
        if "sum" in sample:
            tally.equal(name + " sum", declared["bit_sum"](image), sample["sum"])
