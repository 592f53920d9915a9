// ffiref through Koffi on Node.js: a thin runner over tests/clients/cases.json,
// using the binding in ffiref.js beside it.
//
// usage: node client.js [path/to/libffiref.so]   (else $FFIREF_LIBRARY, else build/ci)
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const util = require('util');
const ffiref = require('./ffiref');

const { koffi } = ffiref;
const root = path.resolve(__dirname, '..', '..', '..');
const libraryPath = process.argv[2] || process.env.FFIREF_LIBRARY || path.join(root, 'build', 'ci', 'libffiref.so');
const layoutPath = process.env.FFIREF_LAYOUT ||
    path.join(path.dirname(path.resolve(libraryPath)), 'layout', 'ffiref-layout-x86_64-linux-gnu.json');
const cases = JSON.parse(fs.readFileSync(path.join(__dirname, '..', 'cases.json'), 'utf8'));

// Written with writeSync so that nothing is left queued when stdout is redirected.
const say = (text) => fs.writeSync(1, text + '\n');

// ---------------------------------------------------------------- tally

let passed = 0, failed = 0, skipped = 0;
const show = (value) => util.inspect(value, { depth: 4, breakLength: Infinity, maxArrayLength: 8 });

function check(name, ok, detail) {
    if (ok) {
        passed++;
    } else {
        failed++;
        say(`FAIL koffi: ${name}${detail ? ': ' + detail : ''}`);
    }
    return ok;
}

function equal(name, actual, expected) {
    return check(name, util.isDeepStrictEqual(actual, expected), `got ${show(actual)}, expected ${show(expected)}`);
}

function skip(name, reason) {
    skipped++;
    say(`SKIP koffi: ${name}: ${reason}`);
}

// ---------------------------------------------------------------- helpers

const hexBytes = (text) => Buffer.from(text.replace(/\s/g, ''), 'hex');
const narrow = (kase, key) => (kase[key + '_hex'] !== undefined ? hexBytes(kase[key + '_hex']) : Buffer.from(kase[key], 'ascii'));
const littleEndian = os.endianness() === 'LE';
const byteImage = (kase) => hexBytes(littleEndian ? kase.little : kase.big);
const SPECIALS = { nan: NaN, inf: Infinity, '-inf': -Infinity, '-0': -0 };
const double = (value) => (typeof value === 'string' ? SPECIALS[value] : value);
const sameDouble = (actual, expected) => Object.is(actual, expected); // NaN is NaN, -0 is not +0
const withZero = (bytes) => Buffer.concat([bytes, Buffer.alloc(1)]);
const bytesAt = (pointer, size) => Buffer.from(koffi.decode(pointer, 'uint8_t', size));
const encoded = (type, value) => {
    const buffer = Buffer.alloc(koffi.sizeof(type));
    koffi.encode(buffer, type, value);
    return buffer;
};

const libc = koffi.load('libc.so.6');
const fflush = libc.func('int fflush(void *stream)');
const dup = libc.func('int dup(int fd)');
const dup2 = libc.func('int dup2(int from, int to)');
const close = libc.func('int close(int fd)');

// Runs call() with file descriptor 1 on a temporary file; returns its result
// and the bytes written. The library writes through C's stdout, so that is
// flushed on both sides.
function captured(call) {
    const file = path.join(os.tmpdir(), `ffiref-koffi-${process.pid}.out`);
    const sink = fs.openSync(file, 'w+');
    fflush(null);
    const saved = dup(1);
    dup2(sink, 1);
    let result;
    try {
        result = call();
    } finally {
        fflush(null);
        dup2(saved, 1);
        close(saved);
        fs.closeSync(sink);
    }
    const written = fs.readFileSync(file);
    fs.unlinkSync(file);
    return [result, written];
}

function fieldsOf(type) {
    const fields = {};
    for (const [name, member] of Object.entries(koffi.type(type).members)) {
        fields[name] = [member.offset, member.type.size];
    }
    return fields;
}

// The bytes a bit-field record holds for values, from the layout JSON's
// segments: each field's bits go most significant first, high bit to low bit.
function segmentsImage(fields, values, size) {
    const bytes = Buffer.alloc(size);
    for (const [name, value] of Object.entries(values)) {
        let remaining = fields[name].width;
        for (const segment of fields[name].segments) {
            for (let bit = segment.high_bit; bit >= segment.low_bit; bit--) {
                remaining--;
                if ((value >> remaining) & 1) bytes[segment.byte] |= 1 << bit;
            }
        }
    }
    return bytes;
}

// ---------------------------------------------------------------- runner

const lib = ffiref.load(libraryPath);
const groups = [];

groups.push(['exports', () => {
    for (const name of cases.exports) {
        let found;
        try {
            found = name === '_data' ? lib.handle.symbol(name) : lib.handle.func(`void ${name}(void)`);
        } catch (error) {
            found = null;
        }
        check(`export ${name}`, !!found);
    }
}]);

groups.push(['layout', () => {
    const declared = cases.layout;
    for (const [name, type] of [['SampleStructure', ffiref.SampleStructure], ['UnionStructure', ffiref.UnionStructure]]) {
        equal(`${name} size`, koffi.sizeof(type), declared[name].size);
        const fields = fieldsOf(type);
        equal(`${name} offsets`, declared[name].fields.map(([field]) => [field, ...fields[field]]), declared[name].fields);
    }
    skip('BitStructure declared bit-fields',
        'Koffi has no bit-fields; the binding packs the 3 bytes itself (encodeBitStructure), checked below against the expected images');
    equal('BitStructure size', ffiref.BIT_STRUCTURE_SIZE, declared.BitStructure.size);
    const pointer = koffi.sizeof('void *');
    equal('pointer records: sizes and second offsets',
        [koffi.sizeof(ffiref.KeyValueStructure), koffi.offsetof(ffiref.KeyValueStructure, 'value'),
            koffi.sizeof(ffiref.LinkedStructure), koffi.offsetof(ffiref.LinkedStructure, 'next')],
        [2 * pointer, pointer, 2 * pointer, pointer]);

    if (!fs.existsSync(layoutPath)) {
        check('layout JSON exists', false, `${layoutPath} is missing: build the library first`);
        return;
    }
    const layout = JSON.parse(fs.readFileSync(layoutPath, 'utf8'));
    equal('layout byte_order', littleEndian ? 'little' : 'big', layout.byte_order);
    equal('layout pointer_size', koffi.sizeof('void *'), layout.pointer_size);
    equal('layout wchar_size', koffi.sizeof('wchar_t'), layout.wchar_size);
    for (const name of ['SampleStructure', 'UnionStructure', 'KeyValueStructure', 'LinkedStructure']) {
        const expected = layout.records[name];
        equal(`layout ${name} size`, koffi.sizeof(ffiref[name]), expected.size);
        equal(`layout ${name} alignment`, koffi.alignof(ffiref[name]), expected.alignment);
        const fields = {};
        for (const [field, place] of Object.entries(expected.fields)) fields[field] = [place.offset, place.size];
        equal(`layout ${name} fields`, fieldsOf(ffiref[name]), fields);
    }
    const bits = layout.records.BitStructure;
    equal('layout BitStructure size', ffiref.BIT_STRUCTURE_SIZE, bits.size);
    for (const [field, bitField] of Object.entries(bits.fields)) {
        const largest = (1 << bitField.width) - 1;
        for (const value of [largest, (0b1011010011 & largest) | 1]) {
            const values = { [field]: value };
            equal(`layout BitStructure ${field}=${value} image`, ffiref.encodeBitStructure(values),
                segmentsImage(bits.fields, values, bits.size));
        }
    }
    for (const sample of layout.samples || []) {
        const name = `layout sample ${sample.record} ${show(sample.values)}`;
        if (sample.record === 'BitStructure') {
            const record = ffiref.encodeBitStructure(sample.values);
            equal(name, record, hexBytes(sample.bytes));
            if (sample.sum !== undefined) equal(name + ' sum', lib.calculateSunFromBitStructure(record), sample.sum);
        } else {
            let image;
            try {
                // "content.intValue" reaches into a member: nested objects for Koffi.
                const values = {};
                for (const [key, value] of Object.entries(sample.values)) {
                    const path = key.split('.');
                    if (!(path[0] in fieldsOf(ffiref[sample.record]))) throw new Error(`${key} is not a declared field`);
                    let target = values;
                    for (const member of path.slice(0, -1)) target = target[member] ??= {};
                    target[path[path.length - 1]] = double(value);
                }
                image = encoded(ffiref[sample.record], values);
            } catch (error) {
                skip(name, `the sample's values do not map onto the declared fields (${error.message})`);
                continue;
            }
            equal(name, image, hexBytes(sample.bytes));
        }
    }
}]);

groups.push(['plain calls', () => {
    for (const [a, b, expected] of cases.sumStdCall) equal(`sumStdCall(${a}, ${b})`, lib.sumStdCall(a, b), expected);
    for (const kase of cases.printStringCdeclCall) {
        const text = narrow(kase, 'text');
        const [result, written] = captured(() => lib.printStringCdeclCall(withZero(text)));
        check(`printStringCdeclCall(${show(text)}) result`, result >= 0, String(result));
        equal(`printStringCdeclCall(${show(text)}) output`, written, narrow(kase, 'stdout'));
    }
}]);

groups.push(['_data', () => {
    const expected = cases._data;
    const initial = withZero(Buffer.from(expected.initial));
    equal('_data initial', bytesAt(lib.data, 13), initial);
    equal('_data as text', koffi.decode(lib.data, 'char', -1), expected.initial);
    equal('_data alignment', lib.data % BigInt(expected.alignment), 0n);
    const written = withZero(Buffer.from(expected.write));
    koffi.encode(lib.data, 'uint8_t', [...written], written.length);
    equal('_data after a write', koffi.decode(lib.handle.symbol('_data'), 'char', -1), expected.write);
    new Uint8Array(koffi.view(lib.data, 13)).set(initial); // the same bytes, through a view
    equal('_data restored', bytesAt(lib.data, 13), initial);
}]);

groups.push(['packed records', () => {
    const sample = cases.copySampleStructure;
    const source = Object.fromEntries(Object.entries(sample.fields).map(([k, v]) => [k, double(v)]));
    equal('SampleStructure image', encoded(ffiref.SampleStructure, source), byteImage(sample));
    const destination = {};
    lib.copySampleStructure(source, destination);
    equal('copySampleStructure fields', destination, source);
    for (const raw of sample.images) {
        // Odd addresses on both sides, guard bytes around the destination.
        const memory = koffi.alloc('uint8_t', 80);
        koffi.encode(memory, 'uint8_t', [...Buffer.alloc(80, 0x5a)], 80);
        koffi.encode(memory + 1n, 'uint8_t', [...hexBytes(raw)], 36);
        lib.copySampleStructure(memory + 1n, memory + 41n);
        equal(`copySampleStructure image ${raw.slice(0, 11)}`, bytesAt(memory + 40n, 38),
            Buffer.concat([Buffer.from('Z'), hexBytes(raw), Buffer.from('Z')]));
        lib.copySampleStructure(memory + 41n, memory + 41n);
        equal('copySampleStructure onto itself', bytesAt(memory + 41n, 36), hexBytes(raw));
        koffi.free(memory);
    }

    for (const kase of cases.copyUnionStructure) {
        const value = kase.member === 'floatValue' ? double(kase.value) : kase.value;
        const source = { tag: kase.tag, content: { [kase.member]: value } };
        equal(`UnionStructure image via ${kase.member}`, encoded(ffiref.UnionStructure, source), byteImage(kase));
        // The union comes back as raw bytes: read it through the member you want.
        const destination = {};
        lib.copyUnionStructure(source, destination);
        const content = destination.content;
        equal(`copyUnionStructure via ${kase.member}`,
            kase.member === 'bytes' ? [...content[kase.member]] : content[kase.member], value);
        equal(`copyUnionStructure tag via ${kase.member}`, destination.tag, kase.tag);
    }

    const bits = cases.calculateSunFromBitStructure;
    for (const kase of bits.records) {
        const values = Object.fromEntries(bits.fields.map((field, i) => [field, kase.values[i]]));
        const record = ffiref.encodeBitStructure(values);
        equal(`BitStructure ${kase.values} image`, record, byteImage(kase));
        equal(`calculateSunFromBitStructure ${kase.values}`, lib.calculateSunFromBitStructure(record), kase.sum);
        equal(`BitStructure ${kase.values} read back`, ffiref.decodeBitStructure(record), values);
    }
    for (const kase of bits.unused_bits) {
        const memory = Buffer.concat([byteImage(kase), Buffer.from([0xff])]);
        equal(`calculateSunFromBitStructure raw ${littleEndian ? kase.little : kase.big}`,
            lib.calculateSunFromBitStructure(memory), kase.sum);
    }
}]);

groups.push(['pointer records', () => {
    const expected = cases.fillKeyValueStructure;
    // Records whose pointers the library follows live at stable addresses.
    const key = koffi.alloc('int32_t', 1);
    koffi.encode(key, 'int32_t', 0);
    const record = koffi.alloc(ffiref.KeyValueStructure, 1);
    koffi.encode(record, ffiref.KeyValueStructure, { key, value: null });
    lib.fillKeyValueStructure(record);
    equal('fillKeyValueStructure key', koffi.decode(key, 'int32_t'), expected.key);
    const filled = koffi.decode(record, ffiref.KeyValueStructure);
    equal('fillKeyValueStructure key pointer kept', filled.key, key);
    equal('fillKeyValueStructure text', filled.value, expected.text);
    const valueOffset = koffi.offsetof(ffiref.KeyValueStructure, 'value');
    const text = koffi.decode(record, valueOffset, 'void *');
    lib.fillKeyValueStructure(record);
    equal('fillKeyValueStructure same text address', koffi.decode(record, valueOffset, 'void *'), text);
    koffi.free(record);
    koffi.free(key);

    const lookup = cases.findValueByKey;
    const keys = lookup.keys.map((value) => {
        const pointer = koffi.alloc('int32_t', 1);
        koffi.encode(pointer, 'int32_t', value);
        return pointer;
    });
    const records = koffi.alloc(ffiref.KeyValueStructure, keys.length);
    keys.forEach((pointer, i) => koffi.encode(records, i * koffi.sizeof(ffiref.KeyValueStructure),
        ffiref.KeyValueStructure, { key: pointer, value: `value ${i}` }));
    const texts = keys.map((_, i) => koffi.decode(records, i * koffi.sizeof(ffiref.KeyValueStructure) + valueOffset, 'void *'));
    for (const kase of lookup.cases) {
        const found = lib.findValueByKey(records, kase.count, kase.key);
        equal(`findValueByKey count ${kase.count} key ${kase.key}`, found, kase.expect === null ? null : texts[kase.expect]);
    }
    koffi.free(records);
    keys.forEach((pointer) => koffi.free(pointer));

    const head = koffi.alloc(ffiref.LinkedStructure, 1);
    koffi.encode(head, ffiref.LinkedStructure, { value: -1, next: null });
    lib.fillLinkedStructures(head);
    let node = koffi.decode(head, ffiref.LinkedStructure);
    const values = [node.value], nodes = [];
    while (node.next) {
        nodes.push(node.next);
        node = koffi.decode(node.next, ffiref.LinkedStructure);
        values.push(node.value);
    }
    equal('fillLinkedStructures values', values, cases.fillLinkedStructures.values);
    for (const allocated of nodes) lib._ZdlPv(allocated);
    equal('fillLinkedStructures nodes released with operator delete', nodes.length, 9);
    koffi.free(head);
}]);

groups.push(['double arrays', () => {
    for (const kase of cases.findMinimum) {
        const found = lib.findMinimum(new Float64Array(kase.array.map(double)), kase.count);
        check(`findMinimum ${show(kase.array)} count ${kase.count}`, sameDouble(found, double(kase.expect)), String(found));
    }
    for (const kase of cases.removeDuplicates) {
        const array = new Float64Array(kase.array.map(double));
        const before = Buffer.from(array.buffer.slice(0));
        const count = new Int32Array([kase.count]);
        lib.removeDuplicates(array, count);
        const name = `removeDuplicates ${show(kase.array)} count ${kase.count}`;
        if (kase.expect === null) {
            check(name, count[0] === kase.count && before.equals(Buffer.from(array.buffer)));
            continue;
        }
        const expected = kase.expect.map(double);
        equal(name + ' count', count[0], expected.length);
        check(name + ' elements', expected.every((value, i) => sameDouble(array[i], value)), show([...array]));
        equal(name + ' beyond the count', Buffer.from(array.buffer).subarray(8 * kase.count), before.subarray(8 * kase.count));
    }
}]);

groups.push(['callbacks', () => {
    // A JS function passed for a callback parameter lives for the call only,
    // which is all the library needs: it never keeps a callback.
    for (const kase of cases.calculateSum) {
        const seen = [];
        const result = lib.calculateSum((operand) => {
            seen.push(operand);
            return (operand + kase.add) | 0;
        }, kase.operand);
        equal(`calculateSum ${kase.operand} + ${kase.add}`, result, kase.expect);
        equal(`calculateSum ${kase.operand} callback arguments`, seen, [kase.operand]);
    }

    for (const kase of cases.createArray) {
        const seen = [];
        const array = koffi.alloc('int32_t', 3);
        koffi.encode(array, 'int32_t', kase.args, 3);
        const result = lib.createArray(...kase.args, (first, second, third, slot) => {
            seen.push([first, second, third, koffi.decode(slot, 'void *')]);
            if (kase.store) koffi.encode(slot, 'int32_t *', array);
        });
        const name = `createArray ${kase.args}`;
        equal(name + ' callback saw', seen, [[...kase.args, null]]);
        equal(name + ' result', result, kase.store ? array : null);
        equal(name + ' array untouched', [...koffi.decode(array, 'int32_t', 3)], kase.args);
        koffi.free(array);
    }

    for (const kase of cases.fillArray) {
        const seen = [];
        const [result, written] = captured(() => lib.fillArray(kase.start, kase.count, (start, count, array) => {
            seen.push([start, count]);
            if (kase.store.length) koffi.encode(array, 'int32_t', kase.store, kase.store.length);
        }));
        const name = `fillArray start ${kase.start} store ${kase.store}`;
        equal(name + ' result', result, kase.expect);
        equal(name + ' callback saw', seen, [[kase.start, kase.count]]);
        equal(name + ' stdout', written.toString('latin1'), kase.stdout);
    }
}]);

groups.push(['strings', () => {
    for (const kase of cases.removeDuplicatesFromString) {
        const text = narrow(kase, 'input');
        const source = withZero(text);
        const output = [1n]; // ignored by the library
        lib.removeDuplicatesFromString(source, output);
        const expected = narrow(kase, 'expect');
        equal(`removeDuplicatesFromString ${show(text)}`, bytesAt(output[0], expected.length + 1), withZero(expected));
        equal(`removeDuplicatesFromString ${show(text)} input unchanged`, source, withZero(text));
        lib._ZdaPv(output[0]); // new char[] in the library, delete[] here
    }

    let buffer = null;
    for (const kase of cases.findLongest) {
        const found = lib.findLongest(ffiref.wideList(kase.list));
        equal(`findLongest ${show(kase.list.map((text) => text.slice(0, 8)))}`, ffiref.readWide(found), kase.expect);
        check('findLongest returns its one buffer', buffer === null || buffer === found);
        buffer = found;
    }

    for (const kase of cases.convert) {
        const expected = Buffer.from(kase.expect.map((text) => text + '\0').join(''));
        const output = Buffer.alloc(expected.length + 4, 0xaa);
        lib.convert(ffiref.wideList(kase.list), output);
        equal(`convert ${show(kase.list)}`, output.subarray(0, expected.length + 1), Buffer.concat([expected, Buffer.from([0xaa])]));
    }
}]);

for (const [name, group] of groups) {
    try {
        group();
    } catch (error) {
        check(name, false, error.stack);
    }
}
say(`${passed} passed, ${failed} failed${skipped ? `, ${skipped} skipped` : ''}`);
process.exitCode = failed ? 1 : 0;
